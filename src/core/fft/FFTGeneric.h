#pragma once

// The split-radix recursion written once over a small vector vocabulary. A vocabulary V holds
// V::kWidth complex values per register, interleaved (re, im), and provides:
//   T load(const float*), void store(float*, T), T add(T, T), T sub(T, T),
//   T mulI(T) (times i), T mulW(T x, T w) (x * w), T mulConjW(T x, T w) (x * conj(w)).
// Every path instantiates the same passes; only the register width and the leaf kernels differ,
// so every path gives the results of the recursion with float32 storage after each butterfly.

#include <utility>

#include "core/uFFTasmInternal.h"

namespace stemora::fft {

// One complex value as the narrowest vocabulary; also finishes levels too short for a register.
struct ScalarOps {
    struct T {
        float re, im;
    };
    static constexpr int kWidth = 1;
    static constexpr int kLeafLog2 = 0;
    static T load(const float* p) noexcept { return {p[0], p[1]}; }
    static void store(float* p, T v) noexcept {
        p[0] = v.re;
        p[1] = v.im;
    }
    static T add(T a, T b) noexcept { return {a.re + b.re, a.im + b.im}; }
    static T sub(T a, T b) noexcept { return {a.re - b.re, a.im - b.im}; }
    static T mulI(T a) noexcept { return {-a.im, a.re}; }
    static T mulW(T x, T w) noexcept {
        return {x.re * w.re - x.im * w.im, x.im * w.re + x.re * w.im};
    }
    static T mulConjW(T x, T w) noexcept {
        return {x.re * w.re + x.im * w.im, x.im * w.re - x.re * w.im};
    }
};

// w_k of the 4-, 8- and 16-point levels, from the float32 rotation constants.
inline constexpr float kFactors4[2] = {1.0f, 0.0f};
inline constexpr float kFactors8[4] = {1.0f, 0.0f, kSqrtHalf, kSqrtHalf};
inline constexpr float kFactors16[8] = {1.0f,      0.0f,      kCosPi8, kSinPi8,
                                        kSqrtHalf, kSqrtHalf, kSinPi8, kCosPi8};

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

// Combining pass of one forward level of N = 2^L values at x (floats), k = 0 .. N/4-1:
// x[k] += x[k+N/2], x[k+N/4] += x[k+3N/4], x[k+N/2] = (a + ib) w_k, x[k+3N/4] = (a - ib) conj(w_k).
template <class V, int L>
inline void forwardPass(float* x, const float* w) noexcept {
    constexpr int kQ = (1 << L) / 4;
    for (int k = 0; k < kQ; k += V::kWidth) {
        float* p0 = x + 2 * k;
        float* p1 = p0 + 2 * kQ;
        float* p2 = p1 + 2 * kQ;
        float* p3 = p2 + 2 * kQ;
        const auto x0 = V::load(p0);
        const auto x1 = V::load(p1);
        const auto x2 = V::load(p2);
        const auto x3 = V::load(p3);
        const auto a = V::sub(x0, x2);
        const auto ib = V::mulI(V::sub(x1, x3));
        const auto wk = V::load(w + 2 * k);
        V::store(p0, V::add(x0, x2));
        V::store(p1, V::add(x1, x3));
        V::store(p2, V::mulW(V::add(a, ib), wk));
        V::store(p3, V::mulConjW(V::sub(a, ib), wk));
    }
}

// Inverse combining pass: t1 = x[k+N/2] conj(w_k), t2 = x[k+3N/4] w_k;
// x[k] +-= t1 + t2 (minus into k+N/2), x[k+N/4] -+= i (t1 - t2) (plus into k+3N/4).
template <class V, int L>
inline void inversePass(float* x, const float* w) noexcept {
    constexpr int kQ = (1 << L) / 4;
    for (int k = 0; k < kQ; k += V::kWidth) {
        float* p0 = x + 2 * k;
        float* p1 = p0 + 2 * kQ;
        float* p2 = p1 + 2 * kQ;
        float* p3 = p2 + 2 * kQ;
        const auto wk = V::load(w + 2 * k);
        const auto t1 = V::mulConjW(V::load(p2), wk);
        const auto t2 = V::mulW(V::load(p3), wk);
        const auto s = V::add(t1, t2);
        const auto d = V::mulI(V::sub(t1, t2));
        const auto x0 = V::load(p0);
        const auto x1 = V::load(p1);
        V::store(p0, V::add(x0, s));
        V::store(p2, V::sub(x0, s));
        V::store(p1, V::sub(x1, d));
        V::store(p3, V::add(x1, d));
    }
}

template <class V, int L>
inline void forwardLevelPass(float* x) noexcept {
    if constexpr ((1 << L) / 4 >= V::kWidth) {
        forwardPass<V, L>(x, levelFactors<L>());
    } else {
        forwardPass<ScalarOps, L>(x, levelFactors<L>());
    }
}

template <class V, int L>
inline void inverseLevelPass(float* x) noexcept {
    if constexpr ((1 << L) / 4 >= V::kWidth) {
        inversePass<V, L>(x, levelFactors<L>());
    } else {
        inversePass<ScalarOps, L>(x, levelFactors<L>());
    }
}

// Sub-transforms from 32 values on stay out of line, so each size is one function of its own.
template <class V, int L>
inline void forwardRecursion(float* x) noexcept;
template <class V, int L>
inline void inverseRecursion(float* x) noexcept;

template <class V, int L>
[[gnu::noinline]] void forwardOutOfLine(float* x) noexcept {
    forwardRecursion<V, L>(x);
}

template <class V, int L>
[[gnu::noinline]] void inverseOutOfLine(float* x) noexcept {
    inverseRecursion<V, L>(x);
}

template <class V, int L>
inline void forwardSub(float* x) noexcept {
    if constexpr (L >= 5) {
        forwardOutOfLine<V, L>(x);
    } else {
        forwardRecursion<V, L>(x);
    }
}

template <class V, int L>
inline void inverseSub(float* x) noexcept {
    if constexpr (L >= 5) {
        inverseOutOfLine<V, L>(x);
    } else {
        inverseRecursion<V, L>(x);
    }
}

// Forward kernel of 2^L values: the level's pass, then the quarter transforms and the half.
// A vocabulary with in-register leaf kernels (V::kLeafLog2 > 0) takes over from that size down.
template <class V, int L>
inline void forwardRecursion(float* x) noexcept {
    if constexpr (L == 0) {
    } else if constexpr (L <= V::kLeafLog2) {
        V::template forwardLeaf<L>(x);
    } else if constexpr (L == 1) {
        const auto x0 = ScalarOps::load(x);
        const auto x1 = ScalarOps::load(x + 2);
        ScalarOps::store(x, ScalarOps::add(x0, x1));
        ScalarOps::store(x + 2, ScalarOps::sub(x0, x1));
    } else {
        constexpr int kN = 1 << L;
        forwardLevelPass<V, L>(x);
        forwardSub<V, L - 2>(x + kN);
        forwardSub<V, L - 2>(x + kN + kN / 2);
        forwardSub<V, L - 1>(x);
    }
}

template <class V, int L>
inline void inverseRecursion(float* x) noexcept {
    if constexpr (L == 0) {
    } else if constexpr (L <= V::kLeafLog2) {
        V::template inverseLeaf<L>(x);
    } else if constexpr (L == 1) {
        const auto x0 = ScalarOps::load(x);
        const auto x1 = ScalarOps::load(x + 2);
        ScalarOps::store(x, ScalarOps::add(x0, x1));
        ScalarOps::store(x + 2, ScalarOps::sub(x0, x1));
    } else {
        constexpr int kN = 1 << L;
        inverseSub<V, L - 1>(x);
        inverseSub<V, L - 2>(x + kN);
        inverseSub<V, L - 2>(x + kN + kN / 2);
        inverseLevelPass<V, L>(x);
    }
}

template <class V, int L>
void forwardKernel(std::complex<float>* data) noexcept {
    forwardRecursion<V, L>(reinterpret_cast<float*>(data));
}

template <class V, int L>
void inverseKernel(std::complex<float>* data) noexcept {
    inverseRecursion<V, L>(reinterpret_cast<float*>(data));
}

template <class V, int... L>
void fillKernelTable(Kernel* table, std::integer_sequence<int, L...>) noexcept {
    ((table[2 * L] = &forwardKernel<V, L + 1>, table[2 * L + 1] = &inverseKernel<V, L + 1>), ...);
}

template <class V>
void fillKernelTable(Kernel* table) noexcept {
    fillKernelTable<V>(table, std::make_integer_sequence<int, kMaxLog2>{});
}

}  // namespace stemora::fft
