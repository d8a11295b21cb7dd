#pragma once

// In-register leaf kernels of 8 and 16 points over AVX registers of four complex values (needs
// AVX2 and FMA: include only from translation units compiled for them). Each gives the results of
// the recursion (the level's butterflies, then the smaller kernels) with the same float32
// roundings as the generic passes; the blocks never leave the registers between levels.

#include <immintrin.h>

#include "core/fft/FFTGeneric.h"

namespace stemora::fft::avx {

inline __m256 signs(float a, float b, float c, float d) noexcept {
    return _mm256_setr_ps(a, b, c, d, a, b, c, d);
}

inline __m256 swapReIm(__m256 a) noexcept {
    return _mm256_permute_ps(a, 0xB1);
}
inline __m128 swapReIm(__m128 a) noexcept {
    return _mm_permute_ps(a, 0xB1);
}

// (re, im) -> (-im, re)
inline __m256 mulI(__m256 a) noexcept {
    return _mm256_xor_ps(swapReIm(a), signs(-0.0f, 0.0f, -0.0f, 0.0f));
}
inline __m128 mulI(__m128 a) noexcept {
    return _mm_xor_ps(swapReIm(a), _mm_setr_ps(-0.0f, 0.0f, -0.0f, 0.0f));
}

inline __m256 mulW(__m256 x, __m256 w) noexcept {
    return _mm256_fmaddsub_ps(x, _mm256_moveldup_ps(w),
                              _mm256_mul_ps(swapReIm(x), _mm256_movehdup_ps(w)));
}
inline __m256 mulConjW(__m256 x, __m256 w) noexcept {
    return _mm256_fmsubadd_ps(x, _mm256_moveldup_ps(w),
                              _mm256_mul_ps(swapReIm(x), _mm256_movehdup_ps(w)));
}

// Negates the second complex value of each pair.
inline __m128 negSecond(__m128 a) noexcept {
    return _mm_xor_ps(a, _mm_setr_ps(0.0f, 0.0f, -0.0f, -0.0f));
}
inline __m256 negSecond(__m256 a) noexcept {
    return _mm256_xor_ps(a, signs(0.0f, 0.0f, -0.0f, -0.0f));
}

// 2-point butterflies on each pair: (x0, x1) -> (x0 + x1, x0 - x1).
inline __m128 pairs2(__m128 v) noexcept {
    return _mm_add_ps(_mm_permute_ps(v, 0x4E), negSecond(v));
}
inline __m256 pairs2(__m256 v) noexcept {
    return _mm256_add_ps(_mm256_permute_ps(v, 0x4E), negSecond(v));
}

// w_k of the 8-point level with conj(w_k) in the upper half, and the reverse.
inline __m256 factors8() noexcept {
    return _mm256_setr_ps(1.0f, 0.0f, kSqrtHalf, kSqrtHalf, 1.0f, -0.0f, kSqrtHalf, -kSqrtHalf);
}
inline __m256 conjFactors8() noexcept {
    return _mm256_setr_ps(1.0f, -0.0f, kSqrtHalf, -kSqrtHalf, 1.0f, 0.0f, kSqrtHalf, kSqrtHalf);
}
inline __m256 factors16() noexcept {
    return _mm256_loadu_ps(kFactors16);
}

// Forward 4 points in one register: slots x0+x2 +- x1+x3, (x0-x2) +- i (x1-x3).
inline __m256 forward4(__m256 v) noexcept {
    const __m128 lo = _mm256_castps256_ps128(v);
    const __m128 hi = _mm256_extractf128_ps(v, 1);
    const __m128 d = _mm_sub_ps(lo, hi);
    const __m128 s = _mm_add_ps(lo, hi);
    const __m128 a = _mm_movelh_ps(d, d);
    const __m128 ib = negSecond(mulI(_mm_movehl_ps(d, d)));
    return _mm256_set_m128(_mm_add_ps(a, ib), pairs2(s));
}

// Inverse 4 points: (x0 +- x1) with t = x2, x3 combined back as x0+x1 +- (x2+x3), x0-x1 -+
// i(x2-x3).
inline __m256 inverse4(__m256 v) noexcept {
    const __m128 p = pairs2(_mm256_castps256_ps128(v));
    const __m128 f = pairs2(_mm256_extractf128_ps(v, 1));
    const __m128 e = negSecond(_mm_blend_ps(f, mulI(f), 0xC));
    return _mm256_set_m128(_mm_sub_ps(p, e), _mm_add_ps(p, e));
}

// Forward 8 points in r0 = x0..x3, r1 = x4..x7.
inline void forward8(__m256& r0, __m256& r1) noexcept {
    const __m256 d = _mm256_sub_ps(r0, r1);
    const __m256 s = _mm256_add_ps(r0, r1);
    const __m256 a = _mm256_permute2f128_ps(d, d, 0x00);
    const __m256 b = _mm256_permute2f128_ps(d, d, 0x11);
    const __m256 ib =
        _mm256_xor_ps(mulI(b), _mm256_setr_ps(0, 0, 0, 0, -0.0f, -0.0f, -0.0f, -0.0f));
    r0 = forward4(s);
    r1 = pairs2(mulW(_mm256_add_ps(a, ib), factors8()));
}

inline void inverse8(__m256& r0, __m256& r1) noexcept {
    const __m256 x = inverse4(r0);
    const __m256 t = mulW(pairs2(r1), conjFactors8());  // (t1 | t2)
    const __m256 tSwapped = _mm256_permute2f128_ps(t, t, 0x01);
    // (t1 + t2 | i (t2 - t1)): the lower half adds, the upper one is -i (t1 - t2).
    const __m256 g =
        _mm256_blend_ps(_mm256_add_ps(t, tSwapped), mulI(_mm256_sub_ps(t, tSwapped)), 0xF0);
    r0 = _mm256_add_ps(x, g);
    r1 = _mm256_sub_ps(x, g);
}

inline void forward16(__m256& q0, __m256& q1, __m256& q2, __m256& q3) noexcept {
    const __m256 a = _mm256_sub_ps(q0, q2);
    const __m256 ib = mulI(_mm256_sub_ps(q1, q3));
    const __m256 w = factors16();
    q0 = _mm256_add_ps(q0, q2);
    q1 = _mm256_add_ps(q1, q3);
    q2 = forward4(mulW(_mm256_add_ps(a, ib), w));
    q3 = forward4(mulConjW(_mm256_sub_ps(a, ib), w));
    forward8(q0, q1);
}

inline void inverse16(__m256& q0, __m256& q1, __m256& q2, __m256& q3) noexcept {
    inverse8(q0, q1);
    const __m256 w = factors16();
    const __m256 t1 = mulConjW(inverse4(q2), w);
    const __m256 t2 = mulW(inverse4(q3), w);
    const __m256 s = _mm256_add_ps(t1, t2);
    const __m256 d = mulI(_mm256_sub_ps(t1, t2));
    q2 = _mm256_sub_ps(q0, s);
    q0 = _mm256_add_ps(q0, s);
    q3 = _mm256_add_ps(q1, d);
    q1 = _mm256_sub_ps(q1, d);
}

// Forward 32 points in q[0..7]: the level's butterflies with w_k from the table, then the
// 16-point kernel on the first half and the 8-point ones on the quarters.
inline void forward32(__m256* q) noexcept {
    const float* w = levelFactors<5>();
    for (int j = 0; j < 2; ++j) {
        const __m256 wj = _mm256_loadu_ps(w + 8 * j);
        const __m256 a = _mm256_sub_ps(q[j], q[4 + j]);
        const __m256 ib = mulI(_mm256_sub_ps(q[2 + j], q[6 + j]));
        q[j] = _mm256_add_ps(q[j], q[4 + j]);
        q[2 + j] = _mm256_add_ps(q[2 + j], q[6 + j]);
        q[4 + j] = mulW(_mm256_add_ps(a, ib), wj);
        q[6 + j] = mulConjW(_mm256_sub_ps(a, ib), wj);
    }
    forward16(q[0], q[1], q[2], q[3]);
    forward8(q[4], q[5]);
    forward8(q[6], q[7]);
}

inline void inverse32(__m256* q) noexcept {
    inverse16(q[0], q[1], q[2], q[3]);
    inverse8(q[4], q[5]);
    inverse8(q[6], q[7]);
    const float* w = levelFactors<5>();
    for (int j = 0; j < 2; ++j) {
        const __m256 wj = _mm256_loadu_ps(w + 8 * j);
        const __m256 t1 = mulConjW(q[4 + j], wj);
        const __m256 t2 = mulW(q[6 + j], wj);
        const __m256 s = _mm256_add_ps(t1, t2);
        const __m256 d = mulI(_mm256_sub_ps(t1, t2));
        q[4 + j] = _mm256_sub_ps(q[j], s);
        q[j] = _mm256_add_ps(q[j], s);
        q[6 + j] = _mm256_add_ps(q[2 + j], d);
        q[2 + j] = _mm256_sub_ps(q[2 + j], d);
    }
}

// Moves four complex values (slots 4j .. 4j+3 of the leaf) to or from their bins.
template <int L, class Sink>
inline void storeBins(__m256 v, Sink sink, int j) noexcept {
    const __m128 lo = _mm256_castps256_ps128(v);
    const __m128 hi = _mm256_extractf128_ps(v, 1);
    _mm_storel_pi(reinterpret_cast<__m64*>(sink.at(kSlotBins<L>[4 * j])), lo);
    _mm_storeh_pi(reinterpret_cast<__m64*>(sink.at(kSlotBins<L>[4 * j + 1])), lo);
    _mm_storel_pi(reinterpret_cast<__m64*>(sink.at(kSlotBins<L>[4 * j + 2])), hi);
    _mm_storeh_pi(reinterpret_cast<__m64*>(sink.at(kSlotBins<L>[4 * j + 3])), hi);
}

template <int L, class Source>
inline __m256 loadBins(Source source, int j) noexcept {
    const auto at = [&](int slot) {
        return reinterpret_cast<const __m64*>(source.at(kSlotBins<L>[slot]));
    };
    const __m128 lo = _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), at(4 * j)), at(4 * j + 1));
    const __m128 hi = _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), at(4 * j + 2)), at(4 * j + 3));
    return _mm256_set_m128(hi, lo);
}

template <int L, class Sink>
inline void store(float* x, __m256 v, Sink sink, int j) noexcept {
    if constexpr (Sink::kNatural) {
        storeBins<L>(v, sink, j);
    } else {
        _mm256_storeu_ps(x + 8 * j, v);
    }
}

template <int L, class Source>
inline __m256 load(const float* x, Source source, int j) noexcept {
    if constexpr (Source::kNatural) {
        return loadBins<L>(source, j);
    } else {
        return _mm256_loadu_ps(x + 8 * j);
    }
}

template <int L, class Sink>
inline void forwardLeaf(float* x, Sink sink) noexcept {
    static_assert(L >= 3 && L <= 5);
    constexpr int kRegs = 1 << (L - 2);
    __m256 q[kRegs];
    for (int j = 0; j < kRegs; ++j) {
        q[j] = _mm256_loadu_ps(x + 8 * j);
    }
    if constexpr (L == 3) {
        forward8(q[0], q[1]);
    } else if constexpr (L == 4) {
        forward16(q[0], q[1], q[2], q[3]);
    } else {
        forward32(q);
    }
    for (int j = 0; j < kRegs; ++j) {
        store<L>(x, q[j], sink, j);
    }
}

template <int L, class Source>
inline void inverseLeaf(float* x, Source source) noexcept {
    static_assert(L >= 3 && L <= 5);
    constexpr int kRegs = 1 << (L - 2);
    __m256 q[kRegs];
    for (int j = 0; j < kRegs; ++j) {
        q[j] = load<L>(x, source, j);
    }
    if constexpr (L == 3) {
        inverse8(q[0], q[1]);
    } else if constexpr (L == 4) {
        inverse16(q[0], q[1], q[2], q[3]);
    } else {
        inverse32(q);
    }
    for (int j = 0; j < kRegs; ++j) {
        _mm256_storeu_ps(x + 8 * j, q[j]);
    }
}

}  // namespace stemora::fft::avx
