#pragma once

// Float results of one extended-precision step, computed with doubles: the value that the
// exact operation rounded to 64 mantissa bits and then stored as float32 would give, bit for
// bit. The decimators' per-sample steps use these instead of long double arithmetic, which
// is several times slower in their serial phase chain.

#include <bit>
#include <cstdint>

namespace stemora {

// True when the double s = RN53(exact) might round to a different float than the exact
// value (and its 64-bit rounding) does: s lies exactly halfway between two floats, or in the
// subnormal float range, where floats keep fewer bits. Otherwise no float midpoint can lie
// between s and the exact value, so both round alike.
inline bool NeedsExtendedStep(double s) noexcept {
    const uint64_t bits = std::bit_cast<uint64_t>(s);
    const bool halfway = (bits & 0x1fffffffu) == 0x10000000u;
    const bool subnormal = ((bits >> 52) & 0x7ffu) < 1023u - 126u && (bits << 1) != 0;
    return halfway || subnormal;
}

// (float)(a + b) with the sum formed in extended precision.
inline float AddNarrowed(float a, double b) noexcept {
    const double s = static_cast<double>(a) + b;
    if (NeedsExtendedStep(s)) [[unlikely]] {
        return static_cast<float>(static_cast<long double>(a) + static_cast<long double>(b));
    }
    return static_cast<float>(s);
}

// (float)(a / b) with the quotient formed in extended precision; b != 0.
inline float DivideNarrowed(float a, int32_t b) noexcept {
    const double s = static_cast<double>(a) / static_cast<double>(b);
    if (NeedsExtendedStep(s)) [[unlikely]] {
        return static_cast<float>(static_cast<long double>(a) / static_cast<long double>(b));
    }
    return static_cast<float>(s);
}

}  // namespace stemora
