// Portable path: the generic recursion over one complex value at a time.

#include "core/fft/NaturalOrder.h"

namespace stemora::fft {

void fillScalarKernels(KernelSet& set) noexcept {
    fillKernels<ScalarOps>(set);
}

}  // namespace stemora::fft
