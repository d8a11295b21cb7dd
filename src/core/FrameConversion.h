#pragma once

// How a captured frame becomes the one sample the decimators take. The capture thread converts
// PCM bytes with it and the offline analyser its decoded channel values, so both read sound
// through the same rule.

#include <cstdint>

namespace stemora {

// One sample from a stereo frame's channel values: channel 0 stored as float32, then channel 1
// added to it and the sum stored as float32 again; summed, not averaged. The first rounding
// matters for values beyond 2^24 (32-bit sound); double holds the sum exactly, so only the final
// store rounds.
inline float StereoSample(double channel0, double channel1) noexcept {
    return static_cast<float>(static_cast<double>(static_cast<float>(channel0)) + channel1);
}

// Converts `frames` little-endian PCM frames starting at `bytes` into one float sample each in
// `out`: channel values (8-bit: byte - 127.5; 16/24/32-bit: signed integers), mono as it is,
// stereo through StereoSample.
using FrameConverter = void (*)(const std::uint8_t* bytes, std::int32_t frames,
                                float* out) noexcept;

// The converter for 1..4 bytes per sample and 1 or 2 channels; null for any other layout.
FrameConverter FrameConverterFor(std::int32_t bytesPerSample, std::int32_t channels) noexcept;

}  // namespace stemora
