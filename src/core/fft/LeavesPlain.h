#pragma once

// In-register leaf kernels of 8, 16 and 32 points (needs AVX2 and FMA: include only from
// translation units compiled for them). Each gives the results of the recursion (the level's
// butterflies, then the smaller kernels) with the same float32 roundings as the generic passes;
// the blocks never leave the registers between levels.
//
// The kernels are written once over a lane vocabulary K: Y holds one block's four complex values
// in a 256-bit register; Z (AVX-512) holds two independent blocks side by side in the two
// 256-bit halves of a 512-bit register, so that a block's two quarter transforms (or two twin
// blocks, whose bins are neighbours) run together. All operations act within 256-bit halves.
// Natural-order leaves write each value to its bin; twin leaves write neighbouring bins as pairs,
// quad leaves (LeavesQuad.h) runs of four.

#include <immintrin.h>

#include "core/fft/Recursion.h"

// Internal linkage for the reason given in Passes.h: the AVX2 and AVX-512 units each
// compile these for their own instruction set.
namespace stemora::fft {
namespace {
namespace avx {

struct Y {
    using R = __m256;
    static R add(R a, R b) noexcept { return _mm256_add_ps(a, b); }
    static R sub(R a, R b) noexcept { return _mm256_sub_ps(a, b); }
    static R mul(R a, R b) noexcept { return _mm256_mul_ps(a, b); }
    static R bitXor(R a, R b) noexcept { return _mm256_xor_ps(a, b); }
    static R fmaddsub(R a, R b, R c) noexcept { return _mm256_fmaddsub_ps(a, b, c); }
    static R fmsubadd(R a, R b, R c) noexcept { return _mm256_fmsubadd_ps(a, b, c); }
    static R fmadd(R a, R b, R c) noexcept { return _mm256_fmadd_ps(a, b, c); }
    static R fnmadd(R a, R b, R c) noexcept { return _mm256_fnmadd_ps(a, b, c); }
    template <int Imm>
    static R shuffle(R a, R b) noexcept {
        return _mm256_shuffle_ps(a, b, Imm);
    }
    template <int Imm>
    static R blend(R a, R b) noexcept {
        return _mm256_blend_ps(a, b, Imm);
    }
    // 128-bit halves as by vperm2f128: 0x20 (a.lo, b.lo), 0x31 (a.hi, b.hi), 0x00, 0x11, 0x01.
    template <int Imm>
    static R halves(R a, R b) noexcept {
        return _mm256_permute2f128_ps(a, b, Imm);
    }
    static R constant(__m256 c) noexcept { return c; }
    static R broadcast(const float* p) noexcept { return _mm256_loadu_ps(p); }
};

#if defined(__AVX512F__) && defined(__AVX512DQ__)
struct Z {
    using R = __m512;
    static R add(R a, R b) noexcept { return _mm512_add_ps(a, b); }
    static R sub(R a, R b) noexcept { return _mm512_sub_ps(a, b); }
    static R mul(R a, R b) noexcept { return _mm512_mul_ps(a, b); }
    static R bitXor(R a, R b) noexcept { return _mm512_xor_ps(a, b); }
    static R fmaddsub(R a, R b, R c) noexcept { return _mm512_fmaddsub_ps(a, b, c); }
    static R fmsubadd(R a, R b, R c) noexcept { return _mm512_fmsubadd_ps(a, b, c); }
    static R fmadd(R a, R b, R c) noexcept { return _mm512_fmadd_ps(a, b, c); }
    static R fnmadd(R a, R b, R c) noexcept { return _mm512_fnmadd_ps(a, b, c); }
    template <int Imm>
    static R shuffle(R a, R b) noexcept {
        return _mm512_shuffle_ps(a, b, Imm);
    }
    template <int Imm>
    static R blend(R a, R b) noexcept {
        return _mm512_mask_blend_ps(static_cast<__mmask16>(Imm | (Imm << 8)), a, b);
    }
    template <int Imm>
    static R halves(R a, R b) noexcept {
        if constexpr (Imm == 0x00) {
            return _mm512_maskz_shuffle_f32x4(0xFFFF, a, a, 0xA0);
        } else if constexpr (Imm == 0x11) {
            return _mm512_maskz_shuffle_f32x4(0xFFFF, a, a, 0xF5);
        } else if constexpr (Imm == 0x01) {
            return _mm512_maskz_shuffle_f32x4(0xFFFF, a, a, 0xB1);
        } else if constexpr (Imm == 0x20) {
            return _mm512_permutex2var_ps(
                a, _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 8, 9, 10, 11, 24, 25, 26, 27), b);
        } else {
            static_assert(Imm == 0x31);
            return _mm512_permutex2var_ps(
                a, _mm512_setr_epi32(4, 5, 6, 7, 20, 21, 22, 23, 12, 13, 14, 15, 28, 29, 30, 31),
                b);
        }
    }
    // Zero-masked forms: GCC 12's plain ones trip -Wuninitialized inside its own header.
    static R constant(__m256 c) noexcept { return _mm512_maskz_broadcast_f32x8(0xFFFF, c); }
    static R broadcast(const float* p) noexcept { return constant(_mm256_loadu_ps(p)); }
};
#endif

inline __m256 signs(float a, float b, float c, float d) noexcept {
    return _mm256_setr_ps(a, b, c, d, a, b, c, d);
}

template <class K>
using Reg = typename K::R;

template <class K>
[[gnu::always_inline]] inline Reg<K> swapReIm(Reg<K> a) noexcept {
    return K::template shuffle<0xB1>(a, a);
}

template <class K>
[[gnu::always_inline]] inline Reg<K> mulW(Reg<K> x, Reg<K> w) noexcept {
    return K::fmaddsub(x, K::template shuffle<0xA0>(w, w),
                       K::mul(swapReIm<K>(x), K::template shuffle<0xF5>(w, w)));
}

template <class K>
[[gnu::always_inline]] inline Reg<K> mulConjW(Reg<K> x, Reg<K> w) noexcept {
    return K::fmsubadd(x, K::template shuffle<0xA0>(w, w),
                       K::mul(swapReIm<K>(x), K::template shuffle<0xF5>(w, w)));
}

// a + i b and a - i b in one operation after the swap: a * 1 is exact and the fused form rounds
// once, so these are bit for bit a + (-b.im, b.re) and a + (b.im, -b.re). The leaves fold the
// signs of i into fused multiply-adds by +-1 the same way.
template <class K>
[[gnu::always_inline]] inline Reg<K> addI(Reg<K> a, Reg<K> b) noexcept {
    return K::fmaddsub(a, K::constant(_mm256_set1_ps(1.0f)), swapReIm<K>(b));
}

template <class K>
[[gnu::always_inline]] inline Reg<K> subI(Reg<K> a, Reg<K> b) noexcept {
    return K::fmsubadd(a, K::constant(_mm256_set1_ps(1.0f)), swapReIm<K>(b));
}

// 2-point butterflies on each pair: (x0, x1) -> (x0 + x1, x0 - x1).
template <class K>
[[gnu::always_inline]] inline Reg<K> pairs2(Reg<K> v) noexcept {
    // v * (1, -1) + swapped: multiplying by +-1 is exact and the fused add rounds once, so this
    // is bit for bit x0 + x1 and x0 + (-x1).
    return K::fmadd(v, K::constant(signs(1.0f, 1.0f, -1.0f, -1.0f)),
                    K::template shuffle<0x4E>(v, v));
}

// w_k of the 8-point level with conj(w_k) in the upper half, and the reverse.
inline __m256 factors8() noexcept {
    return _mm256_setr_ps(1.0f, 0.0f, kSqrtHalf, kSqrtHalf, 1.0f, -0.0f, kSqrtHalf, -kSqrtHalf);
}
inline __m256 conjFactors8() noexcept {
    return _mm256_setr_ps(1.0f, -0.0f, kSqrtHalf, -kSqrtHalf, 1.0f, 0.0f, kSqrtHalf, kSqrtHalf);
}

// Forward 4 points on the lower halves x = (x0, x1), y = (x2, x3): slots x0+x2 +- x1+x3, then
// (x0-x2) +- i (x1-x3), as (top | bottom).
template <class K>
[[gnu::always_inline]] inline void forward4Core(Reg<K> x, Reg<K> y, Reg<K>& top,
                                                Reg<K>& bottom) noexcept {
    const Reg<K> d = K::sub(x, y);
    const Reg<K> a = K::template shuffle<0x44>(d, d);
    // i b on the first value, -i b on the second: (d3, d2) times (-1, 1) and (1, -1), fused
    // with the add (exact, as in pairs2).
    const Reg<K> b = K::template shuffle<0xBB>(d, d);
    top = pairs2<K>(K::add(x, y));
    bottom = K::fmadd(b, K::constant(signs(-1.0f, 1.0f, 1.0f, -1.0f)), a);
}

template <class K>
[[gnu::always_inline]] inline Reg<K> forward4(Reg<K> v) noexcept {
    Reg<K> top;
    Reg<K> bottom;
    forward4Core<K>(K::template halves<0x00>(v, v), K::template halves<0x11>(v, v), top, bottom);
    return K::template halves<0x20>(top, bottom);
}

// Two 4-point kernels at once, on the halves regrouped as (lower halves | upper halves).
template <class K>
[[gnu::always_inline]] inline void forward4x2(Reg<K>& v, Reg<K>& w) noexcept {
    Reg<K> top;
    Reg<K> bottom;
    forward4Core<K>(K::template halves<0x20>(v, w), K::template halves<0x31>(v, w), top, bottom);
    v = K::template halves<0x20>(top, bottom);
    w = K::template halves<0x31>(top, bottom);
}

// Inverse 4 points: p = (x0 + x1, x0 - x1) and f = (x2 + x3, x2 - x3) combine to
// x0+x1 +- (x2+x3) and x0-x1 -+ i (x2-x3), as (lo | hi).
template <class K>
[[gnu::always_inline]] inline void inverse4Core(Reg<K> x, Reg<K> y, Reg<K>& lo,
                                                Reg<K>& hi) noexcept {
    const Reg<K> p = pairs2<K>(x);
    const Reg<K> f = pairs2<K>(y);
    // e = (f0, -i f1): f0 as it is, f1 swapped and times (1, -1); p +- e fused (exact).
    const Reg<K> g = K::template blend<0xCC>(f, swapReIm<K>(f));
    const Reg<K> sign = K::constant(signs(1.0f, 1.0f, 1.0f, -1.0f));
    lo = K::fmadd(g, sign, p);
    hi = K::fnmadd(g, sign, p);
}

template <class K>
[[gnu::always_inline]] inline Reg<K> inverse4(Reg<K> v) noexcept {
    Reg<K> lo;
    Reg<K> hi;
    inverse4Core<K>(K::template halves<0x00>(v, v), K::template halves<0x11>(v, v), lo, hi);
    return K::template halves<0x20>(lo, hi);
}

template <class K>
[[gnu::always_inline]] inline void inverse4x2(Reg<K>& v, Reg<K>& w) noexcept {
    Reg<K> lo;
    Reg<K> hi;
    inverse4Core<K>(K::template halves<0x20>(v, w), K::template halves<0x31>(v, w), lo, hi);
    v = K::template halves<0x20>(lo, hi);
    w = K::template halves<0x31>(lo, hi);
}

// The butterflies of the 8-point level on r0 = x0..x3, r1 = x4..x7, without the sub-kernels.
template <class K>
[[gnu::always_inline]] inline void level8(Reg<K>& r0, Reg<K>& r1) noexcept {
    const Reg<K> d = K::sub(r0, r1);
    const Reg<K> a = K::template halves<0x00>(d, d);
    const Reg<K> b = K::template halves<0x11>(d, d);
    // a + i b in the lower half, a - i b in the upper one, fused (exact, as in pairs2).
    const Reg<K> ib =
        K::constant(_mm256_setr_ps(-1.0f, 1.0f, -1.0f, 1.0f, 1.0f, -1.0f, 1.0f, -1.0f));
    r0 = K::add(r0, r1);
    r1 = mulW<K>(K::fmadd(swapReIm<K>(b), ib, a), K::constant(factors8()));
}

template <class K>
[[gnu::always_inline]] inline void forward8(Reg<K>& r0, Reg<K>& r1) noexcept {
    level8<K>(r0, r1);
    r0 = forward4<K>(r0);
    r1 = pairs2<K>(r1);
}

// Two 8-point kernels at once.
template <class K>
[[gnu::always_inline]] inline void forward8x2(Reg<K>& r0, Reg<K>& r1, Reg<K>& r2,
                                              Reg<K>& r3) noexcept {
    level8<K>(r0, r1);
    level8<K>(r2, r3);
    forward4x2<K>(r0, r2);
    r1 = pairs2<K>(r1);
    r3 = pairs2<K>(r3);
}

// The inverse 8-point level, on x = the inverse 4-point kernel of slots 0..3 and r1 = the 2-point
// kernels of slots 4..7.
template <class K>
[[gnu::always_inline]] inline void inverseLevel8(Reg<K>& x, Reg<K>& r1) noexcept {
    const Reg<K> t = mulW<K>(r1, K::constant(conjFactors8()));  // (t1 | t2)
    const Reg<K> tSwapped = K::template halves<0x01>(t, t);
    // (t1 + t2 | i (t2 - t1)): the lower half adds, the upper one is -i (t1 - t2).
    // The upper half's i (t2 - t1) as the swap times (-1, 1), fused into x -+ g (exact).
    const Reg<K> u = K::template blend<0xF0>(K::add(t, tSwapped), swapReIm<K>(K::sub(t, tSwapped)));
    const Reg<K> sign =
        K::constant(_mm256_setr_ps(1.0f, 1.0f, 1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f));
    r1 = K::fnmadd(u, sign, x);
    x = K::fmadd(u, sign, x);
}

template <class K>
[[gnu::always_inline]] inline void inverse8(Reg<K>& r0, Reg<K>& r1) noexcept {
    r0 = inverse4<K>(r0);
    r1 = pairs2<K>(r1);
    inverseLevel8<K>(r0, r1);
}

template <class K>
[[gnu::always_inline]] inline void inverse8x2(Reg<K>& r0, Reg<K>& r1, Reg<K>& r2,
                                              Reg<K>& r3) noexcept {
    inverse4x2<K>(r0, r2);
    r1 = pairs2<K>(r1);
    r3 = pairs2<K>(r3);
    inverseLevel8<K>(r0, r1);
    inverseLevel8<K>(r2, r3);
}

template <class K>
[[gnu::always_inline]] inline void forward16(Reg<K>& q0, Reg<K>& q1, Reg<K>& q2,
                                             Reg<K>& q3) noexcept {
    const Reg<K> a = K::sub(q0, q2);
    const Reg<K> b = K::sub(q1, q3);
    const Reg<K> w = K::broadcast(kFactors16);
    q0 = K::add(q0, q2);
    q1 = K::add(q1, q3);
    q2 = mulW<K>(addI<K>(a, b), w);
    q3 = mulConjW<K>(subI<K>(a, b), w);
    forward4x2<K>(q2, q3);
    forward8<K>(q0, q1);
}

template <class K>
[[gnu::always_inline]] inline void inverse16(Reg<K>& q0, Reg<K>& q1, Reg<K>& q2,
                                             Reg<K>& q3) noexcept {
    inverse8<K>(q0, q1);
    inverse4x2<K>(q2, q3);
    const Reg<K> w = K::broadcast(kFactors16);
    const Reg<K> t1 = mulConjW<K>(q2, w);
    const Reg<K> t2 = mulW<K>(q3, w);
    const Reg<K> s = K::add(t1, t2);
    const Reg<K> e = K::sub(t1, t2);
    q2 = K::sub(q0, s);
    q0 = K::add(q0, s);
    q3 = addI<K>(q1, e);
    q1 = subI<K>(q1, e);
}

// Forward 32 points in q0..q7: the level's butterflies with w_k from the table, then the
// 16-point kernel on the first half and the 8-point ones on the quarters.
template <class K>
[[gnu::always_inline]] inline void level32(Reg<K>& q0, Reg<K>& q2, Reg<K>& q4, Reg<K>& q6,
                                           const float* w) noexcept {
    const Reg<K> wj = K::broadcast(w);
    const Reg<K> a = K::sub(q0, q4);
    const Reg<K> b = K::sub(q2, q6);
    q0 = K::add(q0, q4);
    q2 = K::add(q2, q6);
    q4 = mulW<K>(addI<K>(a, b), wj);
    q6 = mulConjW<K>(subI<K>(a, b), wj);
}

template <class K>
[[gnu::always_inline]] inline void inverseLevel32(Reg<K>& q0, Reg<K>& q2, Reg<K>& q4, Reg<K>& q6,
                                                  const float* w) noexcept {
    const Reg<K> wj = K::broadcast(w);
    const Reg<K> t1 = mulConjW<K>(q4, wj);
    const Reg<K> t2 = mulW<K>(q6, wj);
    const Reg<K> s = K::add(t1, t2);
    const Reg<K> e = K::sub(t1, t2);
    q4 = K::sub(q0, s);
    q0 = K::add(q0, s);
    q6 = addI<K>(q2, e);
    q2 = subI<K>(q2, e);
}

// A leaf of 2^L values as named registers (GCC keeps an array of them in memory): load(j) gives
// register j (slots 4j .. 4j+3), store(j, v) takes it back.
template <class K, int L, class Load, class Store>
[[gnu::always_inline]] inline void forwardRegs(Load load, Store store) noexcept {
    static_assert(L >= 3 && L <= 5);
    if constexpr (L == 3) {
        Reg<K> q0 = load(0), q1 = load(1);
        forward8<K>(q0, q1);
        store(0, q0), store(1, q1);
    } else if constexpr (L == 4) {
        Reg<K> q0 = load(0), q1 = load(1), q2 = load(2), q3 = load(3);
        forward16<K>(q0, q1, q2, q3);
        store(0, q0), store(1, q1), store(2, q2), store(3, q3);
    } else {
        Reg<K> q0 = load(0), q1 = load(1), q2 = load(2), q3 = load(3);
        Reg<K> q4 = load(4), q5 = load(5), q6 = load(6), q7 = load(7);
        const float* w = levelFactors<5>();
        level32<K>(q0, q2, q4, q6, w);
        level32<K>(q1, q3, q5, q7, w + 8);
        forward16<K>(q0, q1, q2, q3);
        forward8x2<K>(q4, q5, q6, q7);
        store(0, q0), store(1, q1), store(2, q2), store(3, q3);
        store(4, q4), store(5, q5), store(6, q6), store(7, q7);
    }
}

template <class K, int L, class Load, class Store>
[[gnu::always_inline]] inline void inverseRegs(Load load, Store store) noexcept {
    static_assert(L >= 3 && L <= 5);
    if constexpr (L == 3) {
        Reg<K> q0 = load(0), q1 = load(1);
        inverse8<K>(q0, q1);
        store(0, q0), store(1, q1);
    } else if constexpr (L == 4) {
        Reg<K> q0 = load(0), q1 = load(1), q2 = load(2), q3 = load(3);
        inverse16<K>(q0, q1, q2, q3);
        store(0, q0), store(1, q1), store(2, q2), store(3, q3);
    } else {
        Reg<K> q0 = load(0), q1 = load(1), q2 = load(2), q3 = load(3);
        Reg<K> q4 = load(4), q5 = load(5), q6 = load(6), q7 = load(7);
        inverse16<K>(q0, q1, q2, q3);
        inverse8x2<K>(q4, q5, q6, q7);
        const float* w = levelFactors<5>();
        inverseLevel32<K>(q0, q2, q4, q6, w);
        inverseLevel32<K>(q1, q3, q5, q7, w + 8);
        store(0, q0), store(1, q1), store(2, q2), store(3, q3);
        store(4, q4), store(5, q5), store(6, q6), store(7, q7);
    }
}

// Moves four complex values (slots 4j .. 4j+3 of the leaf) to or from their bins.
template <int L, class Sink>
[[gnu::always_inline]] inline void storeBins(__m256 v, Sink sink, int j) noexcept {
    const __m128 lo = _mm256_castps256_ps128(v);
    const __m128 hi = _mm256_extractf128_ps(v, 1);
    _mm_storel_pi(reinterpret_cast<__m64*>(sink.template at<L>(kSlotBins<L>[4 * j])), lo);
    _mm_storeh_pi(reinterpret_cast<__m64*>(sink.template at<L>(kSlotBins<L>[4 * j + 1])), lo);
    _mm_storel_pi(reinterpret_cast<__m64*>(sink.template at<L>(kSlotBins<L>[4 * j + 2])), hi);
    _mm_storeh_pi(reinterpret_cast<__m64*>(sink.template at<L>(kSlotBins<L>[4 * j + 3])), hi);
}

template <int L, class Source>
inline __m256 loadBins(Source source, int j) noexcept {
    const auto at = [&](int slot) {
        return reinterpret_cast<const __m64*>(source.template at<L>(kSlotBins<L>[slot]));
    };
    const __m128 lo = _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), at(4 * j)), at(4 * j + 1));
    const __m128 hi = _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), at(4 * j + 2)), at(4 * j + 3));
    return _mm256_set_m128(hi, lo);
}

template <int L, class Sink>
[[gnu::always_inline]] inline void store(float* x, __m256 v, Sink sink, int j) noexcept {
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
[[gnu::always_inline]] inline void forwardLeaf(float* x, Sink sink) noexcept {
    forwardRegs<Y, L>(
        [&](int j) __attribute__((always_inline)) { return _mm256_loadu_ps(x + 8 * j); },
        [&](int j, __m256 v) __attribute__((always_inline)) { store<L>(x, v, sink, j); });
}

template <int L, class Source>
[[gnu::always_inline]] inline void inverseLeaf(float* x, Source source) noexcept {
    inverseRegs<Y, L>(
        [&](int j) __attribute__((always_inline)) { return load<L>(x, source, j); },
        [&](int j, __m256 v) __attribute__((always_inline)) { _mm256_storeu_ps(x + 8 * j, v); });
}

// Twin leaves in 256-bit registers: A's leaf goes back in place, then B's registers meet A's

#if defined(__AVX512F__) && defined(__AVX512DQ__)
inline __m512 join(__m256 lo, __m256 hi) noexcept {
    return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
}
inline __m256 upper(__m512 v) noexcept {
    return _mm512_maskz_extractf32x8_ps(0xFF, v, 1);
}

// Two leaves of the same size at once (a block's two quarters), one in each 256-bit half.
template <int L, class Sink>
[[gnu::always_inline]] inline void forwardLeafPair(float* xa, float* xb, Sink sinkA,
                                                   Sink sinkB) noexcept {
    forwardRegs<Z, L>(
        [&](int j) __attribute__((always_inline)) {
            return join(_mm256_loadu_ps(xa + 8 * j), _mm256_loadu_ps(xb + 8 * j));
        },
        [&](int j, __m512 v) __attribute__((always_inline)) {
            store<L>(xa, _mm512_castps512_ps256(v), sinkA, j);
            store<L>(xb, upper(v), sinkB, j);
        });
}

template <int L, class Source>
[[gnu::always_inline]] inline void inverseLeafPair(float* xa, float* xb, Source sourceA,
                                                   Source sourceB) noexcept {
    inverseRegs<Z, L>(
        [&](int j) __attribute__((always_inline)) {
            return join(load<L>(xa, sourceA, j), load<L>(xb, sourceB, j));
        },
        [&](int j, __m512 v) __attribute__((always_inline)) {
            _mm256_storeu_ps(xa + 8 * j, _mm512_castps512_ps256(v));
            _mm256_storeu_ps(xb + 8 * j, upper(v));
        });
}
#endif

}  // namespace avx
}  // namespace
}  // namespace stemora::fft
