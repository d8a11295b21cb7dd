#pragma once

#include <cstdint>

namespace stemora {

// Colour scale of the spectrum lines: a level (a scaled peak magnitude, >= 0) becomes red, green
// and blue bytes along straight segments through black (0), blue (13000), cyan (60000),
// green (80000), yellow (100000) and red (500000 and above). Levels above 5000000 count as
// 5000000; levels of -1 and below give black. NaN and -infinity give black, +infinity red.
// Pure and stateless: may be called from any thread.
//
// The colour handed to a chart packs the bytes as R + 256 * G + 65536 * B (see PackColour).
void GammaRGB(float Level, uint8_t& R, uint8_t& G, uint8_t& B);

// 24-bit colour reference, red in the lowest byte, top byte 0.
constexpr uint32_t PackColour(uint8_t r, uint8_t g, uint8_t b) noexcept {
    return uint32_t{r} + 256u * uint32_t{g} + 65536u * uint32_t{b};
}

}  // namespace stemora
