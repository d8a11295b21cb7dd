#pragma once

// The vector vocabulary of the FFT engine and the combining passes written over it. One
// vocabulary, three widths: LanesScalar (below), Lanes256 and Lanes512 hold V::kWidth = 1, 4 and 8
// complex values per register, interleaved (re, im), and provide
//   T load(const float*), void store(float*, T), T add(T, T), T sub(T, T),
//   T mulI(T) (times i), T addI(T a, T b) (a + i b), T subI(T a, T b) (a - i b),
//   T mulW(T x, T w) (x * w), T mulConjW(T x, T w) (x * conj(w)),
//   T reverseSwap(T) (values in reverse order, re and im exchanged);
// the two vector widths also the lane operations that the leaf kernels are written in. A path
// (FFTScalar.cpp, FFTAvx2.cpp, FFTAvx512.cpp) is a vocabulary with its leaves: when V::kLeaves is
// true, in-register leaf kernels of 8, 16 and 32 points (ForwardLeaf, InverseLeaf; with
// kUnrelatedPairs two leaves of the same size at once, with kNeighbourPairs two whose bins are
// neighbours, with kNeighbourQuads four). Every path instantiates the same passes; only the
// register width and the leaves differ, so every path gives the results of the recursion with
// float32 storage after each butterfly (the rounding inside one butterfly may differ, by fused
// multiply-adds).

#include <complex>
#include <cstdint>

#include "core/uFFTasmInternal.h"

namespace stemora::fft {
// Internal linkage: each path's translation unit is compiled for its own instruction set, so
// the linker must never let one unit's out-of-line copy of these templates stand in for
// another's (an AVX-512 copy called on the scalar path would fault on older CPUs).
namespace {

// One complex value as the narrowest vocabulary; also finishes levels too short for a register.
struct LanesScalar {
    struct T {
        float Re, Im;
    };
    static constexpr int kWidth = 1;
    static constexpr bool kLeaves = false;
    static constexpr int kLeafLog2 = 4;
    static constexpr bool kUnrelatedPairs = false;
    static constexpr bool kNeighbourPairs = false;
    static constexpr bool kNeighbourQuads = false;
    static T load(const float* p) noexcept { return {p[0], p[1]}; }
    static void store(float* p, T v) noexcept {
        p[0] = v.Re;
        p[1] = v.Im;
    }
    static T add(T a, T b) noexcept { return {a.Re + b.Re, a.Im + b.Im}; }
    static T sub(T a, T b) noexcept { return {a.Re - b.Re, a.Im - b.Im}; }
    static T mulI(T a) noexcept { return {-a.Im, a.Re}; }
    static T addI(T a, T b) noexcept { return add(a, mulI(b)); }
    static T subI(T a, T b) noexcept { return sub(a, mulI(b)); }
    static T reverseSwap(T a) noexcept { return {a.Im, a.Re}; }
    static T mulW(T x, T w) noexcept {
        return {x.Re * w.Re - x.Im * w.Im, x.Im * w.Re + x.Re * w.Im};
    }
    static T mulConjW(T x, T w) noexcept {
        return {x.Re * w.Re + x.Im * w.Im, x.Im * w.Re - x.Re * w.Im};
    }
};

// w_k of the 4-, 8- and 16-point levels, from the float32 rotation constants.
inline constexpr float kFactors4[2] = {1.0f, 0.0f};
inline constexpr float kFactors8[4] = {1.0f, 0.0f, kSqrtHalf, kSqrtHalf};
inline constexpr float kFactors16[8] = {1.0f,      0.0f,      kCosPi8, kSinPi8,
                                        kSqrtHalf, kSqrtHalf, kSinPi8, kCosPi8};

// Largest leaf of a vocabulary: blocks of up to 2^leafLog2 values are finished by a leaf kernel.
template <class V>
inline constexpr int kLeafLog2 = V::kLeafLog2;

template <int L>
inline const float* levelFactors() noexcept {
    if constexpr (L == 2) {
        return kFactors4;
    } else if constexpr (L == 3) {
        return kFactors8;
    } else if constexpr (L == 4) {
        return kFactors16;
    } else {
        return gLevelFactors[L];
    }
}

// Factors of k0 .. k0 + width - 1. From 1024 values on, the passes read only the first eighth of
// the circle (and sqrt(1/2) (1 + i) at N/8) and take the second by symmetry, w_k = i conj(w_j)
// with j = N/4 - k: the factors of j = N/4 - k0 - width + 1 .. N/4 - k0 in reverse order with
// real and imaginary parts exchanged. Bit for bit the same values, half the cache footprint.
template <class V, int L>
inline auto loadFactors(const float* w, int k0) noexcept {
    constexpr int kQ = (1 << L) / 4;
    if constexpr (L >= 10) {
        if (k0 >= kQ / 2) {
            return V::reverseSwap(V::load(w + 2 * (kQ - k0 - V::kWidth + 1)));
        }
    }
    return V::load(w + 2 * k0);
}

// Combining pass of one forward level of N = 2^L values, from src to dst (the same or apart),
// k = 0 .. N/4-1: x[k] + x[k+N/2], x[k+N/4] + x[k+3N/4], (a + ib) w_k, (a - ib) conj(w_k).
template <class V, int L>
inline void forwardPass(const float* src, float* dst, const float* w) noexcept {
    constexpr int kQ = (1 << L) / 4;
    for (int k = 0; k < kQ; k += V::kWidth) {
        const float* p = src + 2 * k;
        float* q = dst + 2 * k;
        const auto x0 = V::load(p);
        const auto x1 = V::load(p + 2 * kQ);
        const auto x2 = V::load(p + 4 * kQ);
        const auto x3 = V::load(p + 6 * kQ);
        const auto a = V::sub(x0, x2);
        const auto b = V::sub(x1, x3);
        const auto wk = loadFactors<V, L>(w, k);
        V::store(q, V::add(x0, x2));
        V::store(q + 2 * kQ, V::add(x1, x3));
        V::store(q + 4 * kQ, V::mulW(V::addI(a, b), wk));
        V::store(q + 6 * kQ, V::mulConjW(V::subI(a, b), wk));
    }
}

// Inverse combining pass: t1 = x[k+N/2] conj(w_k), t2 = x[k+3N/4] w_k;
// x[k] +- (t1 + t2) into k and k+N/2, x[k+N/4] -+ i (t1 - t2) into k+N/4 and k+3N/4.
template <class V, int L>
inline void inversePass(const float* src, float* dst, const float* w) noexcept {
    constexpr int kQ = (1 << L) / 4;
    for (int k = 0; k < kQ; k += V::kWidth) {
        const float* p = src + 2 * k;
        float* q = dst + 2 * k;
        const auto wk = loadFactors<V, L>(w, k);
        const auto t1 = V::mulConjW(V::load(p + 4 * kQ), wk);
        const auto t2 = V::mulW(V::load(p + 6 * kQ), wk);
        const auto s = V::add(t1, t2);
        const auto e = V::sub(t1, t2);
        const auto x0 = V::load(p);
        const auto x1 = V::load(p + 2 * kQ);
        V::store(q, V::add(x0, s));
        V::store(q + 4 * kQ, V::sub(x0, s));
        V::store(q + 2 * kQ, V::subI(x1, e));
        V::store(q + 6 * kQ, V::addI(x1, e));
    }
}

// Level L and the level L-1 of its first half in one sweep over the block: for k < N/8 the eight
// values x[k + j N/8] pass through the level-L butterflies of k and k + N/8, whose first-half
// results are exactly the inputs of the half's butterfly of k. Same operations, half the
// memory traffic of the half's own pass.
template <class V, int L>
inline void forwardTwoLevelPass(const float* src, float* dst) noexcept {
    constexpr int kE = (1 << L) / 8;
    const float* w = levelFactors<L>();
    const float* wHalf = levelFactors<L - 1>();
    for (int k = 0; k < kE; k += V::kWidth) {
        const float* p = src + 2 * k;
        float* q = dst + 2 * k;
        const auto x0 = V::load(p);
        const auto x1 = V::load(p + 2 * kE);
        const auto x2 = V::load(p + 4 * kE);
        const auto x3 = V::load(p + 6 * kE);
        const auto x4 = V::load(p + 8 * kE);
        const auto x5 = V::load(p + 10 * kE);
        const auto x6 = V::load(p + 12 * kE);
        const auto x7 = V::load(p + 14 * kE);
        const auto a0 = V::sub(x0, x4);
        const auto b0 = V::sub(x2, x6);
        const auto a1 = V::sub(x1, x5);
        const auto b1 = V::sub(x3, x7);
        const auto w0 = loadFactors<V, L>(w, k);
        const auto w1 = loadFactors<V, L>(w, k + kE);
        V::store(q + 8 * kE, V::mulW(V::addI(a0, b0), w0));
        V::store(q + 12 * kE, V::mulConjW(V::subI(a0, b0), w0));
        V::store(q + 10 * kE, V::mulW(V::addI(a1, b1), w1));
        V::store(q + 14 * kE, V::mulConjW(V::subI(a1, b1), w1));
        const auto s0 = V::add(x0, x4);
        const auto s1 = V::add(x1, x5);
        const auto s2 = V::add(x2, x6);
        const auto s3 = V::add(x3, x7);
        const auto a = V::sub(s0, s2);
        const auto b = V::sub(s1, s3);
        const auto wh = loadFactors<V, L - 1>(wHalf, k);
        V::store(q, V::add(s0, s2));
        V::store(q + 2 * kE, V::add(s1, s3));
        V::store(q + 4 * kE, V::mulW(V::addI(a, b), wh));
        V::store(q + 6 * kE, V::mulConjW(V::subI(a, b), wh));
    }
}

// The inverse two-level pass: the first half's level L-1, then level L, in one sweep.
template <class V, int L>
inline void inverseTwoLevelPass(const float* src, float* dst) noexcept {
    constexpr int kE = (1 << L) / 8;
    const float* w = levelFactors<L>();
    const float* wHalf = levelFactors<L - 1>();
    for (int k = 0; k < kE; k += V::kWidth) {
        const float* p = src + 2 * k;
        float* q = dst + 2 * k;
        const auto wh = loadFactors<V, L - 1>(wHalf, k);
        const auto t1 = V::mulConjW(V::load(p + 4 * kE), wh);
        const auto t2 = V::mulW(V::load(p + 6 * kE), wh);
        const auto sh = V::add(t1, t2);
        const auto eh = V::sub(t1, t2);
        const auto h0 = V::load(p);
        const auto h1 = V::load(p + 2 * kE);
        const auto y0 = V::add(h0, sh);   // x[k]
        const auto y2 = V::sub(h0, sh);   // x[k + N/4]
        const auto y1 = V::subI(h1, eh);  // x[k + N/8]
        const auto y3 = V::addI(h1, eh);  // x[k + 3N/8]
        const auto w0 = loadFactors<V, L>(w, k);
        const auto w1 = loadFactors<V, L>(w, k + kE);
        const auto u1 = V::mulConjW(V::load(p + 8 * kE), w0);
        const auto u2 = V::mulW(V::load(p + 12 * kE), w0);
        const auto us = V::add(u1, u2);
        const auto ue = V::sub(u1, u2);
        V::store(q, V::add(y0, us));
        V::store(q + 8 * kE, V::sub(y0, us));
        V::store(q + 4 * kE, V::subI(y2, ue));
        V::store(q + 12 * kE, V::addI(y2, ue));
        const auto v1 = V::mulConjW(V::load(p + 10 * kE), w1);
        const auto v2 = V::mulW(V::load(p + 14 * kE), w1);
        const auto vs = V::add(v1, v2);
        const auto ve = V::sub(v1, v2);
        V::store(q + 2 * kE, V::add(y1, vs));
        V::store(q + 10 * kE, V::sub(y1, vs));
        V::store(q + 6 * kE, V::subI(y3, ve));
        V::store(q + 14 * kE, V::addI(y3, ve));
    }
}

template <class V, int L>
inline void forwardLevelPass(const float* src, float* dst) noexcept {
    if constexpr ((1 << L) / 4 >= V::kWidth) {
        forwardPass<V, L>(src, dst, levelFactors<L>());
    } else {
        forwardPass<LanesScalar, L>(src, dst, levelFactors<L>());
    }
}

template <class V, int L>
inline void inverseLevelPass(const float* src, float* dst) noexcept {
    if constexpr ((1 << L) / 4 >= V::kWidth) {
        inversePass<V, L>(src, dst, levelFactors<L>());
    } else {
        inversePass<LanesScalar, L>(src, dst, levelFactors<L>());
    }
}

}  // namespace
}  // namespace stemora::fft
