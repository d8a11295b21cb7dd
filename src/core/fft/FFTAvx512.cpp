// AVX-512 path; this file is compiled with AVX-512 flags and entered only on CPUs that have them.

#include "core/fft/FFTGeneric.h"
#if defined(__x86_64__)
#include "core/fft/VecAvx512.h"
#endif

namespace stemora::fft {

void fillAvx512Kernels(Kernel* table) noexcept {
#if defined(__x86_64__)
    fillKernelTable<Avx512Ops>(table);
#else
    fillScalarKernels(table);  // never selected: the CPU check admits only the scalar path here
#endif
}

}  // namespace stemora::fft
