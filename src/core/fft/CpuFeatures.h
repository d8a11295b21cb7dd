#pragma once

// What the machine offers the FFT engine: the instruction sets its kernel paths need and the
// geometry of the level-1 data cache, which decides how the natural-order transforms run.

#include "core/uFFTasmInternal.h"

namespace stemora::fft {

// Whether the CPU (and the build) can run a kernel path.
bool CpuHas(KernelPath path) noexcept;

// The L1d as the OS reports it, else as CPUID describes it; a 32 KiB 8-way cache of 64-byte lines
// when neither gives a plausible answer.
CacheGeometry DetectL1d() noexcept;

}  // namespace stemora::fft
