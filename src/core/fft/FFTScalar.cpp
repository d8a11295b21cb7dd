// Portable path: the generic recursion over one complex value at a time.

#include "core/fft/NaturalOrder.h"

namespace stemora::fft {

void FillScalarKernels(KernelSet& set) noexcept {
    fillKernels<LanesScalar>(set);
}

}  // namespace stemora::fft
