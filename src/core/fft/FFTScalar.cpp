// Portable path: the generic recursion over one complex value at a time.

#include "core/fft/FFTGeneric.h"

namespace stemora::fft {

void fillScalarKernels(Kernel* table) noexcept {
    fillKernelTable<ScalarOps>(table);
}

}  // namespace stemora::fft
