// AVX-512 path; this file is compiled with AVX-512 flags and entered only on CPUs that have them.

// GCC 12's AVX-512 headers build some intrinsics on deliberately undefined operands, which
// -Wuninitialized reports once they are inlined here; the warning is about the header, not us.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "core/fft/NaturalOrder.h"
#if defined(__x86_64__)
#include "core/fft/VecAvx512.h"
#endif

namespace stemora::fft {

void fillAvx512Kernels(KernelSet& set) noexcept {
#if defined(__x86_64__)
    fillKernels<Avx512Ops>(set);
#else
    fillScalarKernels(set);  // never selected: the CPU check admits only the scalar path here
#endif
}

}  // namespace stemora::fft
