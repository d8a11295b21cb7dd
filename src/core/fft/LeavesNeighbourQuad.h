#pragma once

// Neighbour quads: four leaves of the same size whose bins are neighbours (c, c + 1, c + 2 and
// c + 3 + stride * order[j]), each run of four bins moved with one 32-byte access (needs AVX2 and
// FMA, like LeavesPlain.h).

#include <immintrin.h>

#include "core/fft/LeavesPlain.h"

namespace stemora::fft {
namespace {
namespace avx {

// Complex values of four registers transposed: (A0 A1 A2 A3), (B..), (C..), (D..) become
// (A0 B0 C0 D0), (A1 B1 C1 D1), (A2 ..), (A3 ..), and the same back.
[[gnu::always_inline]] inline void transpose4(__m256& a, __m256& b, __m256& c, __m256& d) noexcept {
    const __m256d t0 = _mm256_unpacklo_pd(_mm256_castps_pd(a), _mm256_castps_pd(b));  // A0 B0 A2 B2
    const __m256d t1 = _mm256_unpackhi_pd(_mm256_castps_pd(a), _mm256_castps_pd(b));  // A1 B1 A3 B3
    const __m256d t2 = _mm256_unpacklo_pd(_mm256_castps_pd(c), _mm256_castps_pd(d));  // C0 D0 C2 D2
    const __m256d t3 = _mm256_unpackhi_pd(_mm256_castps_pd(c), _mm256_castps_pd(d));  // C1 D1 C3 D3
    a = _mm256_castpd_ps(_mm256_permute2f128_pd(t0, t2, 0x20));
    b = _mm256_castpd_ps(_mm256_permute2f128_pd(t1, t3, 0x20));
    c = _mm256_castpd_ps(_mm256_permute2f128_pd(t0, t2, 0x31));
    d = _mm256_castpd_ps(_mm256_permute2f128_pd(t1, t3, 0x31));
}

// Neighbour quads turned on their side: register m holds slot m of four leaves of the same size
// whose bins are neighbours (c + stride * order[m] and the next three), one complex value of
// each, so every butterfly is element-wise (no shuffles but the swaps of i and of the rotations)
// and every register is one 32-byte run of four bins. The operations are the leaves' own, in the
// same form, so the bits are the same.
using Turned = Lanes256::T;

// w times every value, w the same in every lane.
[[gnu::always_inline]] inline Turned turnedMulW(Turned x, float re, float im) noexcept {
    return Lanes256::mulSplitW(x, _mm256_set1_ps(re), _mm256_set1_ps(im));
}

// 2 points on the pair of registers at v.
[[gnu::always_inline]] inline void turnedPairs(Turned* v) noexcept {
    const Turned x0 = v[0];
    v[0] = Lanes256::add(x0, v[1]);
    v[1] = Lanes256::sub(x0, v[1]);
}

// 4 points: no rotation at this level.
[[gnu::always_inline]] inline void turnedForward4(Turned* v) noexcept {
    using V = Lanes256;
    const Turned s0 = V::add(v[0], v[2]);
    const Turned s1 = V::add(v[1], v[3]);
    const Turned d0 = V::sub(v[0], v[2]);
    const Turned d1 = V::sub(v[1], v[3]);
    v[0] = V::add(s0, s1);
    v[1] = V::sub(s0, s1);
    v[2] = V::addI(d0, d1);
    v[3] = V::subI(d0, d1);
}

[[gnu::always_inline]] inline void turnedInverse4(Turned* v) noexcept {
    using V = Lanes256;
    const Turned p0 = V::add(v[0], v[1]);
    const Turned p1 = V::sub(v[0], v[1]);
    const Turned f0 = V::add(v[2], v[3]);
    const Turned f1 = V::sub(v[2], v[3]);
    v[0] = V::add(p0, f0);
    v[2] = V::sub(p0, f0);
    v[1] = V::subI(p1, f1);
    v[3] = V::addI(p1, f1);
}

// 8 points. The rotations are 1 and sqrt(1/2) (1 + i); the fourth quarter's conj(w) is a
// product with the conjugate constant, as in the 8-point leaves.
[[gnu::always_inline]] inline void turnedForward8(Turned* v) noexcept {
    using V = Lanes256;
    for (int k = 0; k < 2; ++k) {
        const float re = k == 0 ? 1.0f : kSqrtHalf;
        const float im = k == 0 ? 0.0f : kSqrtHalf;
        const Turned a = V::sub(v[k], v[4 + k]);
        const Turned b = V::sub(v[2 + k], v[6 + k]);
        v[k] = V::add(v[k], v[4 + k]);
        v[2 + k] = V::add(v[2 + k], v[6 + k]);
        v[4 + k] = turnedMulW(V::addI(a, b), re, im);
        v[6 + k] = turnedMulW(V::subI(a, b), re, -im);
    }
    turnedForward4(v);
    turnedPairs(v + 4);
    turnedPairs(v + 6);
}

// The inverse level combines x +- (t1 + t2) and x +- i (t2 - t1), as the 8-point leaves do.
[[gnu::always_inline]] inline void turnedInverse8(Turned* v) noexcept {
    using V = Lanes256;
    turnedInverse4(v);
    turnedPairs(v + 4);
    turnedPairs(v + 6);
    for (int k = 0; k < 2; ++k) {
        const float re = k == 0 ? 1.0f : kSqrtHalf;
        const float im = k == 0 ? 0.0f : kSqrtHalf;
        const Turned t1 = turnedMulW(v[4 + k], re, -im);
        const Turned t2 = turnedMulW(v[6 + k], re, im);
        const Turned s = V::add(t1, t2);
        const Turned d = V::sub(t2, t1);
        const Turned x0 = v[k];
        const Turned x2 = v[2 + k];
        v[k] = V::add(x0, s);
        v[4 + k] = V::sub(x0, s);
        v[2 + k] = V::addI(x2, d);
        v[6 + k] = V::subI(x2, d);
    }
}

// The levels of 32 and 16 points of one leaf in its own registers (which need no shuffles in
// this layout either), back in place; and their inverse.
template <int L>
[[gnu::always_inline]] inline void forwardOuterLevels(float* x) noexcept {
    __m256 q0 = _mm256_loadu_ps(x);
    __m256 q1 = _mm256_loadu_ps(x + 8);
    __m256 q2 = _mm256_loadu_ps(x + 16);
    __m256 q3 = _mm256_loadu_ps(x + 24);
    if constexpr (L == 5) {
        __m256 q4 = _mm256_loadu_ps(x + 32);
        __m256 q5 = _mm256_loadu_ps(x + 40);
        __m256 q6 = _mm256_loadu_ps(x + 48);
        __m256 q7 = _mm256_loadu_ps(x + 56);
        const float* w = levelFactors<5>();
        level32<Lanes256>(q0, q2, q4, q6, w);
        level32<Lanes256>(q1, q3, q5, q7, w + 8);
        _mm256_storeu_ps(x + 32, q4);
        _mm256_storeu_ps(x + 40, q5);
        _mm256_storeu_ps(x + 48, q6);
        _mm256_storeu_ps(x + 56, q7);
    }
    level32<Lanes256>(q0, q1, q2, q3,
                      kFactors16);  // the same butterflies, with the 16-point factors
    _mm256_storeu_ps(x, q0);
    _mm256_storeu_ps(x + 8, q1);
    _mm256_storeu_ps(x + 16, q2);
    _mm256_storeu_ps(x + 24, q3);
}

template <int L>
[[gnu::always_inline]] inline void inverseOuterLevels(float* x) noexcept {
    __m256 q0 = _mm256_loadu_ps(x);
    __m256 q1 = _mm256_loadu_ps(x + 8);
    __m256 q2 = _mm256_loadu_ps(x + 16);
    __m256 q3 = _mm256_loadu_ps(x + 24);
    inverseLevel32<Lanes256>(q0, q1, q2, q3, kFactors16);
    if constexpr (L == 5) {
        __m256 q4 = _mm256_loadu_ps(x + 32);
        __m256 q5 = _mm256_loadu_ps(x + 40);
        __m256 q6 = _mm256_loadu_ps(x + 48);
        __m256 q7 = _mm256_loadu_ps(x + 56);
        const float* w = levelFactors<5>();
        inverseLevel32<Lanes256>(q0, q2, q4, q6, w);
        inverseLevel32<Lanes256>(q1, q3, q5, q7, w + 8);
        _mm256_storeu_ps(x + 32, q4);
        _mm256_storeu_ps(x + 40, q5);
        _mm256_storeu_ps(x + 48, q6);
        _mm256_storeu_ps(x + 56, q7);
    }
    _mm256_storeu_ps(x, q0);
    _mm256_storeu_ps(x + 8, q1);
    _mm256_storeu_ps(x + 16, q2);
    _mm256_storeu_ps(x + 24, q3);
}

// Neighbour quads of 16 or 32 points: the outer levels leaf by leaf, then the 8- and 4-point
// kernels (slots 0-7, 8-11, 12-15, and 16-23, 24-31 at 32 points) on their side, four slots of the
// four blocks turned by one transpose, and every run of four bins written at once.
template <int L, class Sink>
[[gnu::always_inline]] inline void forwardNeighbourQuad(float* xa, float* xb, float* xc, float* xd,
                                                        Sink sinkA) noexcept {
    static_assert(L == 4 || L == 5);
    forwardOuterLevels<L>(xa);
    forwardOuterLevels<L>(xb);
    forwardOuterLevels<L>(xc);
    forwardOuterLevels<L>(xd);
    __m256 v[8];
    const auto turn = [&](int slot, __m256* r) __attribute__((always_inline)) {
        r[0] = _mm256_loadu_ps(xa + 2 * slot);
        r[1] = _mm256_loadu_ps(xb + 2 * slot);
        r[2] = _mm256_loadu_ps(xc + 2 * slot);
        r[3] = _mm256_loadu_ps(xd + 2 * slot);
        transpose4(r[0], r[1], r[2], r[3]);
    };
    const auto write = [&](int slot, int count) __attribute__((always_inline)) {
        for (int m = 0; m < count; ++m) {
            _mm256_storeu_ps(sinkA.template at<L>(kSlotBins<L>[slot + m]), v[m]);
        }
    };
    const auto eight = [&](int slot) __attribute__((always_inline)) {
        turn(slot, v);
        turn(slot + 4, v + 4);
        turnedForward8(v);
        write(slot, 8);
    };
    const auto four = [&](int slot) __attribute__((always_inline)) {
        turn(slot, v);
        turnedForward4(v);
        write(slot, 4);
    };
    eight(0);
    four(8);
    four(12);
    if constexpr (L == 5) {
        eight(16);
        eight(24);
    }
}

template <int L, class Source>
[[gnu::always_inline]] inline void inverseNeighbourQuad(float* xa, float* xb, float* xc, float* xd,
                                                        Source sourceA) noexcept {
    static_assert(L == 4 || L == 5);
    __m256 v[8];
    const auto read = [&](int slot, int count) __attribute__((always_inline)) {
        for (int m = 0; m < count; ++m) {
            v[m] = _mm256_loadu_ps(sourceA.template at<L>(kSlotBins<L>[slot + m]));
        }
    };
    const auto turn = [&](int slot, __m256* r) __attribute__((always_inline)) {
        __m256 a = r[0];
        __m256 b = r[1];
        __m256 c = r[2];
        __m256 d = r[3];
        transpose4(a, b, c, d);
        _mm256_storeu_ps(xa + 2 * slot, a);
        _mm256_storeu_ps(xb + 2 * slot, b);
        _mm256_storeu_ps(xc + 2 * slot, c);
        _mm256_storeu_ps(xd + 2 * slot, d);
    };
    const auto eight = [&](int slot) __attribute__((always_inline)) {
        read(slot, 8);
        turnedInverse8(v);
        turn(slot, v);
        turn(slot + 4, v + 4);
    };
    const auto four = [&](int slot) __attribute__((always_inline)) {
        read(slot, 4);
        turnedInverse4(v);
        turn(slot, v);
    };
    eight(0);
    four(8);
    four(12);
    if constexpr (L == 5) {
        eight(16);
        eight(24);
    }
    inverseOuterLevels<L>(xa);
    inverseOuterLevels<L>(xb);
    inverseOuterLevels<L>(xc);
    inverseOuterLevels<L>(xd);
}

}  // namespace avx
}  // namespace
}  // namespace stemora::fft
