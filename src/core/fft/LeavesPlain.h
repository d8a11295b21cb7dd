#pragma once

// In-register leaf kernels of 8, 16 and 32 points (needs AVX2 and FMA: include only from
// translation units compiled for them). Each gives the results of the recursion (the level's
// butterflies, then the smaller kernels) with the same float32 roundings as the generic passes;
// the blocks never leave the registers between levels.
//
// The kernels are written once over the vector vocabulary V, one leaf's four slots 4j .. 4j+3
// per 256-bit lane: Lanes256 holds one leaf per register; Lanes512 (AVX-512) two leaves side by
// side, so that two leaves of the same size run together (a block's two quarters, or a neighbour
// pair). Natural-order leaves write each value to its bin; neighbour pairs
// (LeavesNeighbourPair.h) write two neighbouring bins at once, neighbour quads
// (LeavesNeighbourQuad.h) runs of four.

#include <immintrin.h>

#include "core/fft/Lanes256.h"
#include "core/fft/Recursion.h"
#if defined(__AVX512F__) && defined(__AVX512DQ__)
#include "core/fft/Lanes512.h"
#endif

// Internal linkage for the reason given in Passes.h: the AVX2 and AVX-512 units each
// compile these for their own instruction set.
namespace stemora::fft {
namespace {
namespace avx {

inline __m256 signs(float a, float b, float c, float d) noexcept {
    return _mm256_setr_ps(a, b, c, d, a, b, c, d);
}

template <class V>
using Reg = typename V::T;

// 2-point butterflies on each pair: (x0, x1) -> (x0 + x1, x0 - x1).
template <class V>
[[gnu::always_inline]] inline Reg<V> pairs2(Reg<V> v) noexcept {
    // v * (1, -1) + swapped: multiplying by +-1 is exact and the fused add rounds once, so this
    // is bit for bit x0 + x1 and x0 + (-x1).
    return V::fmadd(v, V::constant(signs(1.0f, 1.0f, -1.0f, -1.0f)),
                    V::template shuffle<0x4E>(v, v));
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
template <class V>
[[gnu::always_inline]] inline void forward4Core(Reg<V> x, Reg<V> y, Reg<V>& top,
                                                Reg<V>& bottom) noexcept {
    const Reg<V> d = V::sub(x, y);
    const Reg<V> a = V::template shuffle<0x44>(d, d);
    // i b on the first value, -i b on the second: (d3, d2) times (-1, 1) and (1, -1), fused
    // with the add (exact, as in pairs2).
    const Reg<V> b = V::template shuffle<0xBB>(d, d);
    top = pairs2<V>(V::add(x, y));
    bottom = V::fmadd(b, V::constant(signs(-1.0f, 1.0f, 1.0f, -1.0f)), a);
}

template <class V>
[[gnu::always_inline]] inline Reg<V> forward4(Reg<V> v) noexcept {
    Reg<V> top;
    Reg<V> bottom;
    forward4Core<V>(V::template halves<0x00>(v, v), V::template halves<0x11>(v, v), top, bottom);
    return V::template halves<0x20>(top, bottom);
}

// Two 4-point kernels at once, on the halves regrouped as (lower halves | upper halves).
template <class V>
[[gnu::always_inline]] inline void forward4x2(Reg<V>& v, Reg<V>& w) noexcept {
    Reg<V> top;
    Reg<V> bottom;
    forward4Core<V>(V::template halves<0x20>(v, w), V::template halves<0x31>(v, w), top, bottom);
    v = V::template halves<0x20>(top, bottom);
    w = V::template halves<0x31>(top, bottom);
}

// Inverse 4 points: p = (x0 + x1, x0 - x1) and f = (x2 + x3, x2 - x3) combine to
// x0+x1 +- (x2+x3) and x0-x1 -+ i (x2-x3), as (lo | hi).
template <class V>
[[gnu::always_inline]] inline void inverse4Core(Reg<V> x, Reg<V> y, Reg<V>& lo,
                                                Reg<V>& hi) noexcept {
    const Reg<V> p = pairs2<V>(x);
    const Reg<V> f = pairs2<V>(y);
    // e = (f0, -i f1): f0 as it is, f1 swapped and times (1, -1); p +- e fused (exact).
    const Reg<V> g = V::template blend<0xCC>(f, V::swapReIm(f));
    const Reg<V> sign = V::constant(signs(1.0f, 1.0f, 1.0f, -1.0f));
    lo = V::fmadd(g, sign, p);
    hi = V::fnmadd(g, sign, p);
}

template <class V>
[[gnu::always_inline]] inline Reg<V> inverse4(Reg<V> v) noexcept {
    Reg<V> lo;
    Reg<V> hi;
    inverse4Core<V>(V::template halves<0x00>(v, v), V::template halves<0x11>(v, v), lo, hi);
    return V::template halves<0x20>(lo, hi);
}

template <class V>
[[gnu::always_inline]] inline void inverse4x2(Reg<V>& v, Reg<V>& w) noexcept {
    Reg<V> lo;
    Reg<V> hi;
    inverse4Core<V>(V::template halves<0x20>(v, w), V::template halves<0x31>(v, w), lo, hi);
    v = V::template halves<0x20>(lo, hi);
    w = V::template halves<0x31>(lo, hi);
}

// The butterflies of the 8-point level on r0 = x0..x3, r1 = x4..x7, without the sub-kernels.
template <class V>
[[gnu::always_inline]] inline void level8(Reg<V>& r0, Reg<V>& r1) noexcept {
    const Reg<V> d = V::sub(r0, r1);
    const Reg<V> a = V::template halves<0x00>(d, d);
    const Reg<V> b = V::template halves<0x11>(d, d);
    // a + i b in the lower half, a - i b in the upper one, fused (exact, as in pairs2).
    const Reg<V> ib =
        V::constant(_mm256_setr_ps(-1.0f, 1.0f, -1.0f, 1.0f, 1.0f, -1.0f, 1.0f, -1.0f));
    r0 = V::add(r0, r1);
    r1 = V::mulW(V::fmadd(V::swapReIm(b), ib, a), V::constant(factors8()));
}

template <class V>
[[gnu::always_inline]] inline void forward8(Reg<V>& r0, Reg<V>& r1) noexcept {
    level8<V>(r0, r1);
    r0 = forward4<V>(r0);
    r1 = pairs2<V>(r1);
}

// Two 8-point kernels at once.
template <class V>
[[gnu::always_inline]] inline void forward8x2(Reg<V>& r0, Reg<V>& r1, Reg<V>& r2,
                                              Reg<V>& r3) noexcept {
    level8<V>(r0, r1);
    level8<V>(r2, r3);
    forward4x2<V>(r0, r2);
    r1 = pairs2<V>(r1);
    r3 = pairs2<V>(r3);
}

// The inverse 8-point level, on x = the inverse 4-point kernel of slots 0..3 and r1 = the 2-point
// kernels of slots 4..7.
template <class V>
[[gnu::always_inline]] inline void inverseLevel8(Reg<V>& x, Reg<V>& r1) noexcept {
    const Reg<V> t = V::mulW(r1, V::constant(conjFactors8()));  // (t1 | t2)
    const Reg<V> tSwapped = V::template halves<0x01>(t, t);
    // (t1 + t2 | i (t2 - t1)): the lower half adds, the upper one is -i (t1 - t2).
    // The upper half's i (t2 - t1) as the swap times (-1, 1), fused into x -+ g (exact).
    const Reg<V> u = V::template blend<0xF0>(V::add(t, tSwapped), V::swapReIm(V::sub(t, tSwapped)));
    const Reg<V> sign =
        V::constant(_mm256_setr_ps(1.0f, 1.0f, 1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f));
    r1 = V::fnmadd(u, sign, x);
    x = V::fmadd(u, sign, x);
}

template <class V>
[[gnu::always_inline]] inline void inverse8(Reg<V>& r0, Reg<V>& r1) noexcept {
    r0 = inverse4<V>(r0);
    r1 = pairs2<V>(r1);
    inverseLevel8<V>(r0, r1);
}

template <class V>
[[gnu::always_inline]] inline void inverse8x2(Reg<V>& r0, Reg<V>& r1, Reg<V>& r2,
                                              Reg<V>& r3) noexcept {
    inverse4x2<V>(r0, r2);
    r1 = pairs2<V>(r1);
    r3 = pairs2<V>(r3);
    inverseLevel8<V>(r0, r1);
    inverseLevel8<V>(r2, r3);
}

template <class V>
[[gnu::always_inline]] inline void forward16(Reg<V>& q0, Reg<V>& q1, Reg<V>& q2,
                                             Reg<V>& q3) noexcept {
    const Reg<V> a = V::sub(q0, q2);
    const Reg<V> b = V::sub(q1, q3);
    const Reg<V> w = V::broadcast(kFactors16);
    q0 = V::add(q0, q2);
    q1 = V::add(q1, q3);
    q2 = V::mulW(V::addI(a, b), w);
    q3 = V::mulConjW(V::subI(a, b), w);
    forward4x2<V>(q2, q3);
    forward8<V>(q0, q1);
}

template <class V>
[[gnu::always_inline]] inline void inverse16(Reg<V>& q0, Reg<V>& q1, Reg<V>& q2,
                                             Reg<V>& q3) noexcept {
    inverse8<V>(q0, q1);
    inverse4x2<V>(q2, q3);
    const Reg<V> w = V::broadcast(kFactors16);
    const Reg<V> t1 = V::mulConjW(q2, w);
    const Reg<V> t2 = V::mulW(q3, w);
    const Reg<V> s = V::add(t1, t2);
    const Reg<V> e = V::sub(t1, t2);
    q2 = V::sub(q0, s);
    q0 = V::add(q0, s);
    q3 = V::addI(q1, e);
    q1 = V::subI(q1, e);
}

// Forward 32 points in q0..q7: the level's butterflies with w_k from the table, then the
// 16-point kernel on the first half and the 8-point ones on the quarters.
template <class V>
[[gnu::always_inline]] inline void level32(Reg<V>& q0, Reg<V>& q2, Reg<V>& q4, Reg<V>& q6,
                                           const float* w) noexcept {
    const Reg<V> wj = V::broadcast(w);
    const Reg<V> a = V::sub(q0, q4);
    const Reg<V> b = V::sub(q2, q6);
    q0 = V::add(q0, q4);
    q2 = V::add(q2, q6);
    q4 = V::mulW(V::addI(a, b), wj);
    q6 = V::mulConjW(V::subI(a, b), wj);
}

template <class V>
[[gnu::always_inline]] inline void inverseLevel32(Reg<V>& q0, Reg<V>& q2, Reg<V>& q4, Reg<V>& q6,
                                                  const float* w) noexcept {
    const Reg<V> wj = V::broadcast(w);
    const Reg<V> t1 = V::mulConjW(q4, wj);
    const Reg<V> t2 = V::mulW(q6, wj);
    const Reg<V> s = V::add(t1, t2);
    const Reg<V> e = V::sub(t1, t2);
    q4 = V::sub(q0, s);
    q0 = V::add(q0, s);
    q6 = V::addI(q2, e);
    q2 = V::subI(q2, e);
}

// A leaf of 2^L values as named registers (GCC keeps an array of them in memory): load(j) gives
// register j (slots 4j .. 4j+3), store(j, v) takes it back.
template <class V, int L, class Load, class Store>
[[gnu::always_inline]] inline void forwardRegs(Load load, Store store) noexcept {
    static_assert(L >= 3 && L <= 5);
    if constexpr (L == 3) {
        Reg<V> q0 = load(0);
        Reg<V> q1 = load(1);
        forward8<V>(q0, q1);
        store(0, q0);
        store(1, q1);
    } else if constexpr (L == 4) {
        Reg<V> q0 = load(0);
        Reg<V> q1 = load(1);
        Reg<V> q2 = load(2);
        Reg<V> q3 = load(3);
        forward16<V>(q0, q1, q2, q3);
        store(0, q0);
        store(1, q1);
        store(2, q2);
        store(3, q3);
    } else {
        Reg<V> q0 = load(0);
        Reg<V> q1 = load(1);
        Reg<V> q2 = load(2);
        Reg<V> q3 = load(3);
        Reg<V> q4 = load(4);
        Reg<V> q5 = load(5);
        Reg<V> q6 = load(6);
        Reg<V> q7 = load(7);
        const float* w = levelFactors<5>();
        level32<V>(q0, q2, q4, q6, w);
        level32<V>(q1, q3, q5, q7, w + 8);
        forward16<V>(q0, q1, q2, q3);
        forward8x2<V>(q4, q5, q6, q7);
        store(0, q0);
        store(1, q1);
        store(2, q2);
        store(3, q3);
        store(4, q4);
        store(5, q5);
        store(6, q6);
        store(7, q7);
    }
}

template <class V, int L, class Load, class Store>
[[gnu::always_inline]] inline void inverseRegs(Load load, Store store) noexcept {
    static_assert(L >= 3 && L <= 5);
    if constexpr (L == 3) {
        Reg<V> q0 = load(0);
        Reg<V> q1 = load(1);
        inverse8<V>(q0, q1);
        store(0, q0);
        store(1, q1);
    } else if constexpr (L == 4) {
        Reg<V> q0 = load(0);
        Reg<V> q1 = load(1);
        Reg<V> q2 = load(2);
        Reg<V> q3 = load(3);
        inverse16<V>(q0, q1, q2, q3);
        store(0, q0);
        store(1, q1);
        store(2, q2);
        store(3, q3);
    } else {
        Reg<V> q0 = load(0);
        Reg<V> q1 = load(1);
        Reg<V> q2 = load(2);
        Reg<V> q3 = load(3);
        Reg<V> q4 = load(4);
        Reg<V> q5 = load(5);
        Reg<V> q6 = load(6);
        Reg<V> q7 = load(7);
        inverse16<V>(q0, q1, q2, q3);
        inverse8x2<V>(q4, q5, q6, q7);
        const float* w = levelFactors<5>();
        inverseLevel32<V>(q0, q2, q4, q6, w);
        inverseLevel32<V>(q1, q3, q5, q7, w + 8);
        store(0, q0);
        store(1, q1);
        store(2, q2);
        store(3, q3);
        store(4, q4);
        store(5, q5);
        store(6, q6);
        store(7, q7);
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
    forwardRegs<Lanes256, L>(
        [&](int j) __attribute__((always_inline)) { return _mm256_loadu_ps(x + 8 * j); },
        [&](int j, __m256 v) __attribute__((always_inline)) { store<L>(x, v, sink, j); });
}

template <int L, class Source>
[[gnu::always_inline]] inline void inverseLeaf(float* x, Source source) noexcept {
    inverseRegs<Lanes256, L>(
        [&](int j) __attribute__((always_inline)) { return load<L>(x, source, j); },
        [&](int j, __m256 v) __attribute__((always_inline)) { _mm256_storeu_ps(x + 8 * j, v); });
}

#if defined(__AVX512F__) && defined(__AVX512DQ__)
inline __m512 join(__m256 lo, __m256 hi) noexcept {
    return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
}
inline __m256 upper(__m512 v) noexcept {
    return _mm512_maskz_extractf32x8_ps(0xFF, v, 1);
}

// Two leaves of the same size whose bins are unrelated (a block's two quarters, or two leaves that
// a schedule puts together) at once, one in each 256-bit half.
template <int L, class Sink>
[[gnu::always_inline]] inline void forwardUnrelatedPair(float* xa, float* xb, Sink sinkA,
                                                        Sink sinkB) noexcept {
    forwardRegs<Lanes512, L>(
        [&](int j) __attribute__((always_inline)) {
            return join(_mm256_loadu_ps(xa + 8 * j), _mm256_loadu_ps(xb + 8 * j));
        },
        [&](int j, __m512 v) __attribute__((always_inline)) {
            store<L>(xa, _mm512_castps512_ps256(v), sinkA, j);
            store<L>(xb, upper(v), sinkB, j);
        });
}

template <int L, class Source>
[[gnu::always_inline]] inline void inverseUnrelatedPair(float* xa, float* xb, Source sourceA,
                                                        Source sourceB) noexcept {
    inverseRegs<Lanes512, L>(
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
