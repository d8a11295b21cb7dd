#pragma once
// Small helpers shared by the capture tests.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/uDirectSound.h"

namespace stemora::test {

// Index of rate/bits/channels in the list, or -1.
inline std::int32_t FormatIndexOf(const TSoundCaptureFormats& formats, std::int32_t rate,
                                  std::int32_t bits, std::int32_t channels) {
    for (std::int32_t i = 0; i < formats.Count(); ++i) {
        const TSoundCaptureFormat& f = formats.Items(i);
        if (f.SamplesPerSec == rate && f.BitsPerSample == bits && f.Channels == channels) {
            return i;
        }
    }
    return -1;
}

// A byte pattern of prime length, so that any shift or reordering of the recorded bytes shows.
inline std::uint8_t PatternAt(std::uint64_t absolute) {
    return static_cast<std::uint8_t>((absolute % 251) * 7 + 3);
}

inline std::vector<std::uint8_t> Pattern() {
    std::vector<std::uint8_t> bytes(251);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = PatternAt(i);
    }
    return bytes;
}

}  // namespace stemora::test
