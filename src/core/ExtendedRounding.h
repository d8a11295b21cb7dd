#pragma once

// Float results of one extended-precision step, computed with doubles: the value that the
// exact operation rounded to 64 mantissa bits and then stored as float32 would give, bit for
// bit. The decimators' per-sample steps use these instead of long double arithmetic, which
// is several times slower in their serial phase chain.

#include <bit>
#include <cstdint>

namespace stemora {

// 1 when the double with these bits, s = RN53(exact), might round to a different float than
// the exact value (and its 64-bit rounding) does: s lies exactly halfway between two floats, or
// is a nonzero value below the normal float range, where floats keep fewer bits and halfway lies
// elsewhere. Otherwise no float midpoint can lie between s and the exact value, so both round
// alike. Integer operations only, so that loops over it vectorise.
constexpr uint64_t NeedsExtendedStepBits(uint64_t bits) noexcept {
    constexpr uint64_t floatMinBits = 0x3810000000000000u;  // 2^-126 as a double
    const uint64_t magnitude = bits & 0x7FFFFFFFFFFFFFFFu;
    return static_cast<uint64_t>((bits & 0x1FFFFFFFu) == 0x10000000u) |
           static_cast<uint64_t>(magnitude - 1 < floatMinBits - 1);
}

inline bool NeedsExtendedStep(double s) noexcept {
    return NeedsExtendedStepBits(std::bit_cast<uint64_t>(s)) != 0;
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
