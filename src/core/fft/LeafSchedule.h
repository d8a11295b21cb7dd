#pragma once

// Construction of the leaf schedules that the natural-order transforms run from (see
// NaturalOrder.h): which leaves there are, which of them go together, and in what order.

#include <cstdint>
#include <vector>

#include "core/uFFTasmInternal.h"

namespace stemora::fft {

// The leaves of the natural-order transform of 2^log2N values, grouped and ordered for an L1d with
// lines of lineBytes.
std::vector<LeafTask> BuildLeafSchedule(int log2N, int32_t lineBytes);

}  // namespace stemora::fft
