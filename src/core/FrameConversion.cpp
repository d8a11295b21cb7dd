#include "core/FrameConversion.h"

#include <cstddef>

namespace stemora {

namespace {

// One channel's value of the little-endian sample at `p`.
template <int Bytes>
inline double channelValue(const std::uint8_t* p) noexcept {
    if constexpr (Bytes == 1) {
        // 127.5, not 128: silence (0x80) gives 0.5, as the tuner has always measured it.
        return static_cast<double>(p[0]) - 127.5;
    } else if constexpr (Bytes == 2) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
    } else if constexpr (Bytes == 3) {
        // Sign-extend from bit 23 by placing the three bytes at the top of a 32-bit word.
        const std::uint32_t raw =
            (std::uint32_t{p[0]} << 8) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 24);
        return static_cast<std::int32_t>(raw) >> 8;
    } else {
        const std::uint32_t raw = std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) |
                                  (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
        return static_cast<std::int32_t>(raw);
    }
}

template <int Bytes, int Channels>
void convertFrames(const std::uint8_t* bytes, std::int32_t frames, float* out) noexcept {
    for (std::int32_t j = 0; j < frames; ++j) {
        const std::uint8_t* frame = bytes + static_cast<std::ptrdiff_t>(j) * Bytes * Channels;
        if constexpr (Channels == 2) {
            out[j] = StereoSample(channelValue<Bytes>(frame), channelValue<Bytes>(frame + Bytes));
        } else {
            out[j] = static_cast<float>(channelValue<Bytes>(frame));
        }
    }
}

}  // namespace

FrameConverter FrameConverterFor(std::int32_t bytesPerSample, std::int32_t channels) noexcept {
    if (channels == 1) {
        switch (bytesPerSample) {
            case 1:
                return &convertFrames<1, 1>;
            case 2:
                return &convertFrames<2, 1>;
            case 3:
                return &convertFrames<3, 1>;
            case 4:
                return &convertFrames<4, 1>;
            default:
                return nullptr;
        }
    }
    if (channels == 2) {
        switch (bytesPerSample) {
            case 1:
                return &convertFrames<1, 2>;
            case 2:
                return &convertFrames<2, 2>;
            case 3:
                return &convertFrames<3, 2>;
            case 4:
                return &convertFrames<4, 2>;
            default:
                return nullptr;
        }
    }
    return nullptr;
}

}  // namespace stemora
