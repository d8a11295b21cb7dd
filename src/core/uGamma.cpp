#include "core/uGamma.h"

#include <cmath>

namespace stemora {

namespace {

// round(255 * fraction), halves to even, low 8 bits kept. The fraction is rounded to float32
// first; that is the only intermediate rounding of the scale.
uint8_t channelByte(long double fraction) noexcept {
    const float stored = static_cast<float>(fraction);
    // |255 * stored| <= 255 for every fraction the segments produce, so the conversion is exact.
    const long long rounded = std::llrint(255.0L * static_cast<long double>(stored));
    return static_cast<uint8_t>(rounded & 0xFF);
}

}  // namespace

void GammaRGB(float Level, uint8_t& R, uint8_t& G, uint8_t& B) {
    // NaN, -inf and every level that truncates below 0 give black; testing this first keeps
    // values outside the int32 range away from the truncation below.
    if (!(Level > -1.0f)) {
        R = G = B = 0;
        return;
    }
    if (Level > 5000000.0f) {
        Level = 5000000.0f;
    }
    const int32_t t = static_cast<int32_t>(Level);
    const long double level = Level;

    long double r = 0.0L;
    long double g = 0.0L;
    long double b = 0.0L;
    if (t < 13000) {
        b = level / 13000.0L;
    } else if (t < 60000) {
        g = (level - 13000.0L) / 47000.0L;
        b = 1.0L;
    } else if (t < 80000) {
        g = 1.0L;
        b = (80000.0L - level) / 20000.0L;
    } else if (t < 100000) {
        r = (level - 80000.0L) / 20000.0L;
        g = 1.0L;
    } else if (t < 500000) {
        r = 1.0L;
        g = (500000.0L - level) / 400000.0L;
    } else {
        r = 1.0L;
    }
    R = channelByte(r);
    G = channelByte(g);
    B = channelByte(b);
}

}  // namespace stemora
