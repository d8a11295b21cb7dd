// AVX2 + FMA path; this file is compiled with -mavx2 -mfma and entered only on CPUs that have them.

#include "core/fft/NaturalOrder.h"
#if defined(__x86_64__)
#include "core/fft/VecAvx2.h"
#endif

namespace stemora::fft {

void fillAvx2Kernels(KernelSet& set) noexcept {
#if defined(__x86_64__)
    fillKernels<Avx2Ops>(set);
#else
    fillScalarKernels(set);  // never selected: the CPU check admits only the scalar path here
#endif
}

}  // namespace stemora::fft
