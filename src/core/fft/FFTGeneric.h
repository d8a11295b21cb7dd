#pragma once

// The split-radix recursion written once over a small vector vocabulary. A vocabulary V holds
// V::kWidth complex values per register, interleaved (re, im), and provides:
//   T load(const float*), void store(float*, T), T add(T, T), T sub(T, T),
//   T mulI(T) (times i), T addI(T a, T b) (a + i b), T subI(T a, T b) (a - i b),
//   T mulW(T x, T w) (x * w), T mulConjW(T x, T w) (x * conj(w)),
// T reverseSwap(T) (values in reverse order, re and im exchanged), and, when V::kLeaves is true,
// in-register leaf kernels of 8, 16 and 32 points (forwardLeaf, inverseLeaf; with
// kPairedLeaves two of them at once, with kTwinLeaves two whose bins are neighbours, with
// kQuadLeaves four). Every path instantiates the same passes; only the register width and the
// leaves differ, so every path gives the results of the recursion with float32 storage after each
// butterfly (the rounding inside one butterfly may differ, by fused multiply-adds).
//
// Natural order without a permutation pass: the forward recursion leaves a block of M values
// whose slot j holds bin (c + stride * order_M[j]) mod N, where the whole transform has c = 0,
// stride = 1, and the half, third and fourth quarter of a block have (c, 2 stride),
// (c + stride, 4 stride) and (c - stride, 4 stride). So the leaves can write their results
// straight to their bins (and the inverse leaves read theirs from there): with Reorder the
// first pass goes from the data to the scratch, the inner levels work in the scratch and the
// leaves write back to the data in natural order. Where the engine has a leaf schedule for the
// size, the forward transform runs all its passes first and then the leaves in the schedule's
// order: four (or two) leaves whose bins are neighbours at a time, so that runs of bins are
// written together, and grouped by the cache lines they write, so that each line is filled while
// it stays cached instead of by scattered writes far apart in time; the inverse runs the leaves
// first, grouped by the lines they read. The arithmetic is the same either way, bit for bit.

#include <array>
#include <complex>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/uFFTasmInternal.h"

namespace stemora::fft {
// Internal linkage: each path's translation unit is compiled for its own instruction set, so
// the linker must never let one unit's out-of-line copy of these templates stand in for
// another's (an AVX-512 copy called on the scalar path would fault on older CPUs).
namespace {

// One complex value as the narrowest vocabulary; also finishes levels too short for a register.
struct ScalarOps {
    struct T {
        float re, im;
    };
    static constexpr int kWidth = 1;
    static constexpr bool kLeaves = false;
    static constexpr int kLeafLog2 = 4;
    static constexpr bool kPairedLeaves = false;
    static constexpr bool kTwinLeaves = false;
    static constexpr bool kQuadLeaves = false;
    static T load(const float* p) noexcept { return {p[0], p[1]}; }
    static void store(float* p, T v) noexcept {
        p[0] = v.re;
        p[1] = v.im;
    }
    static T add(T a, T b) noexcept { return {a.re + b.re, a.im + b.im}; }
    static T sub(T a, T b) noexcept { return {a.re - b.re, a.im - b.im}; }
    static T mulI(T a) noexcept { return {-a.im, a.re}; }
    static T addI(T a, T b) noexcept { return add(a, mulI(b)); }
    static T subI(T a, T b) noexcept { return sub(a, mulI(b)); }
    static T reverseSwap(T a) noexcept { return {a.im, a.re}; }
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

// Bin held by each slot of the forward kernels of 2^L values, L = 0 .. 5: the half-size order
// doubled, then 4j+1 and 4j-1 (mod 2^L) over the quarter-size order.
template <int L>
constexpr std::array<uint8_t, (1 << L)> makeSlotBins() noexcept {
    std::array<uint8_t, (1 << L)> bins{};
    if constexpr (L == 1) {
        bins[1] = 1;
    } else if constexpr (L >= 2) {
        constexpr int kN = 1 << L;
        const auto half = makeSlotBins<L - 1>();
        const auto quarter = makeSlotBins<L - 2>();
        for (int j = 0; j < kN / 2; ++j) {
            bins[j] = static_cast<uint8_t>(2 * half[j]);
        }
        for (int j = 0; j < kN / 4; ++j) {
            bins[kN / 2 + j] = static_cast<uint8_t>((4 * quarter[j] + 1) % kN);
            bins[3 * kN / 4 + j] = static_cast<uint8_t>((4 * quarter[j] + kN - 1) % kN);
        }
    }
    return bins;
}

template <int L>
inline constexpr std::array<uint8_t, (1 << L)> kSlotBins = makeSlotBins<L>();

static_assert(kSlotBins<3> == std::array<uint8_t, 8>{0, 4, 2, 6, 1, 5, 7, 3});

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

// Where a block's results go (forward) or come from (inverse): its own place...
struct InPlace {
    static constexpr bool kNatural = false;
    InPlace half() const noexcept { return {}; }
    InPlace third() const noexcept { return {}; }
    InPlace fourth() const noexcept { return {}; }
};

// ... or the bins (c + stride * order[j]) mod N of the natural-order array. A padded array has
// one spare cache line after every 2 KiB (256 values), so that the leaves' writes at strides of
// N/32 values spread over the cache sets instead of evicting each other.
template <bool Padded>
struct NaturalAt {
    static constexpr bool kNatural = true;
    std::complex<float>* data;
    uint32_t c;
    uint32_t stride;
    NaturalAt half() const noexcept { return {data, c, 2 * stride}; }
    NaturalAt third() const noexcept { return {data, c + stride, 4 * stride}; }
    NaturalAt fourth() const noexcept { return {data, c - stride, 4 * stride}; }
    // In a block of 2^L values the stride is N / 2^L, so N - 1 = (stride << L) - 1.
    template <int L>
    float* at(uint32_t bin) const noexcept {
        uint32_t i = (c + stride * bin) & ((stride << L) - 1);
        if constexpr (Padded) {
            i += (i >> 8) << 3;
        }
        return reinterpret_cast<float*>(data + i);
    }
};
using Natural = NaturalAt<false>;
using NaturalPadded = NaturalAt<true>;

// ... or nowhere: a traversal that runs only the passes and leaves the leaves to a schedule.
struct PassesOnly {
    static constexpr bool kNatural = false;
    PassesOnly half() const noexcept { return {}; }
    PassesOnly third() const noexcept { return {}; }
    PassesOnly fourth() const noexcept { return {}; }
};

template <class Sink>
inline constexpr bool kSkipLeaves = std::is_same_v<Sink, PassesOnly>;

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
inline void forwardPass2(const float* src, float* dst) noexcept {
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

// The inverse twin: the first half's level L-1, then level L, in one sweep.
template <class V, int L>
inline void inversePass2(const float* src, float* dst) noexcept {
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
        forwardPass<ScalarOps, L>(src, dst, levelFactors<L>());
    }
}

template <class V, int L>
inline void inverseLevelPass(const float* src, float* dst) noexcept {
    if constexpr ((1 << L) / 4 >= V::kWidth) {
        inversePass<V, L>(src, dst, levelFactors<L>());
    } else {
        inversePass<ScalarOps, L>(src, dst, levelFactors<L>());
    }
}

// In-place recursion of a small block, one complex value at a time.
template <int L>
inline void forwardSmall(float* x) noexcept {
    if constexpr (L == 1) {
        const auto x0 = ScalarOps::load(x);
        const auto x1 = ScalarOps::load(x + 2);
        ScalarOps::store(x, ScalarOps::add(x0, x1));
        ScalarOps::store(x + 2, ScalarOps::sub(x0, x1));
    } else if constexpr (L >= 2) {
        constexpr int kN = 1 << L;
        forwardLevelPass<ScalarOps, L>(x, x);
        forwardSmall<L - 2>(x + kN);
        forwardSmall<L - 2>(x + kN + kN / 2);
        forwardSmall<L - 1>(x);
    }
}

template <int L>
inline void inverseSmall(float* x) noexcept {
    if constexpr (L == 1) {
        forwardSmall<1>(x);
    } else if constexpr (L >= 2) {
        constexpr int kN = 1 << L;
        inverseSmall<L - 1>(x);
        inverseSmall<L - 2>(x + kN);
        inverseSmall<L - 2>(x + kN + kN / 2);
        inverseLevelPass<ScalarOps, L>(x, x);
    }
}

// Leaf of a vocabulary without register kernels: compute in place, then move to the bins. The
// block is copied first because the top-level leaf's bins are its own slots.
template <int L, class Sink>
inline void scalarForwardLeaf(float* x, Sink sink) noexcept {
    forwardSmall<L>(x);
    if constexpr (Sink::kNatural) {
        float block[2 << L];
        for (int j = 0; j < (2 << L); ++j) {
            block[j] = x[j];
        }
        for (int j = 0; j < (1 << L); ++j) {
            float* out = sink.template at<L>(kSlotBins<L>[j]);
            out[0] = block[2 * j];
            out[1] = block[2 * j + 1];
        }
    }
}

template <int L, class Source>
inline void scalarInverseLeaf(float* x, Source source) noexcept {
    if constexpr (Source::kNatural) {
        float block[2 << L];
        for (int j = 0; j < (1 << L); ++j) {
            const float* in = source.template at<L>(kSlotBins<L>[j]);
            block[2 * j] = in[0];
            block[2 * j + 1] = in[1];
        }
        for (int j = 0; j < (2 << L); ++j) {
            x[j] = block[j];
        }
    }
    inverseSmall<L>(x);
}

template <class V, int L, class Sink>
inline void forwardLeaf(float* x, Sink sink) noexcept {
    if constexpr (kSkipLeaves<Sink>) {
    } else if constexpr (V::kLeaves && L >= 3 && L <= kLeafLog2<V>) {
        V::template forwardLeaf<L>(x, sink);
    } else {
        scalarForwardLeaf<L>(x, sink);
    }
}

template <class V, int L, class Source>
inline void inverseLeaf(float* x, Source source) noexcept {
    if constexpr (kSkipLeaves<Source>) {
    } else if constexpr (V::kLeaves && L >= 3 && L <= kLeafLog2<V>) {
        V::template inverseLeaf<L>(x, source);
    } else {
        scalarInverseLeaf<L>(x, source);
    }
}

// Blocks from 32 values on: the level's pass in place, then the quarters and the half, each in a
// function of its own so that every size is compiled once per sink.
template <class V, int L, class Sink>
[[gnu::noinline]] void forwardBlock(float* x, Sink sink) noexcept;
template <class V, int L, class Source>
[[gnu::noinline]] void inverseBlock(float* x, Source source) noexcept;

template <class V, int L, class Sink>
inline void forwardSub(float* x, Sink sink) noexcept {
    if constexpr (L <= kLeafLog2<V>) {
        forwardLeaf<V, L>(x, sink);
    } else {
        forwardBlock<V, L>(x, sink);
    }
}

template <class V, int L, class Source>
inline void inverseSub(float* x, Source source) noexcept {
    if constexpr (L <= kLeafLog2<V>) {
        inverseLeaf<V, L>(x, source);
    } else {
        inverseBlock<V, L>(x, source);
    }
}

// The two quarter transforms of a block of 2^L values, as a pair of leaves where the vocabulary
// has paired leaf kernels.
template <class V, int L, class Sink>
inline void forwardQuarters(float* x, Sink sink) noexcept {
    constexpr int kN = 1 << L;
    if constexpr (V::kPairedLeaves && L - 2 >= 3 && L - 2 <= kLeafLog2<V> && !kSkipLeaves<Sink>) {
        V::template forwardLeafPair<L - 2>(x + kN, x + kN + kN / 2, sink.third(), sink.fourth());
    } else {
        forwardSub<V, L - 2>(x + kN, sink.third());
        forwardSub<V, L - 2>(x + kN + kN / 2, sink.fourth());
    }
}

template <class V, int L, class Source>
inline void inverseQuarters(float* x, Source source) noexcept {
    constexpr int kN = 1 << L;
    if constexpr (V::kPairedLeaves && L - 2 >= 3 && L - 2 <= kLeafLog2<V> && !kSkipLeaves<Source>) {
        V::template inverseLeafPair<L - 2>(x + kN, x + kN + kN / 2, source.third(),
                                           source.fourth());
    } else {
        inverseSub<V, L - 2>(x + kN, source.third());
        inverseSub<V, L - 2>(x + kN + kN / 2, source.fourth());
    }
}

// Fuse a level with its half's level where the half is a block of its own and wide enough.
template <class V, int L>
inline constexpr bool kFusedPasses = (L - 1 > kLeafLog2<V>)&&((1 << L) / 8 >= V::kWidth);

// A block's levels: its outermost pass from src into x (the same or apart), the rest in x.
template <class V, int L, bool Fuse = kFusedPasses<V, L>, class Sink>
inline void forwardBody(const float* src, float* x, Sink sink) noexcept {
    if constexpr (Fuse) {
        forwardPass2<V, L>(src, x);
        forwardQuarters<V, L>(x, sink);
        forwardQuarters<V, L - 1>(x, sink.half());
        forwardSub<V, L - 2>(x, sink.half().half());
    } else {
        forwardLevelPass<V, L>(src, x);
        forwardQuarters<V, L>(x, sink);
        forwardSub<V, L - 1>(x, sink.half());
    }
}

// The inverse: everything in x, the outermost pass from x into dst.
template <class V, int L, bool Fuse = kFusedPasses<V, L>, class Source>
inline void inverseBody(float* x, float* dst, Source source) noexcept {
    if constexpr (Fuse) {
        inverseSub<V, L - 2>(x, source.half().half());
        inverseQuarters<V, L - 1>(x, source.half());
        inverseQuarters<V, L>(x, source);
        inversePass2<V, L>(x, dst);
    } else {
        inverseSub<V, L - 1>(x, source.half());
        inverseQuarters<V, L>(x, source);
        inverseLevelPass<V, L>(x, dst);
    }
}

template <class V, int L, class Sink>
[[gnu::noinline]] void forwardBlock(float* x, Sink sink) noexcept {
    forwardBody<V, L>(x, x, sink);
}

template <class V, int L, class Source>
[[gnu::noinline]] void inverseBlock(float* x, Source source) noexcept {
    inverseBody<V, L>(x, x, source);
}

// Twin blocks: two blocks of 2^L values with the same stride whose bins are neighbours, A's bins
// c + stride * order[j] and B's c + 1 + stride * order[j] (c even). Run in lockstep, their leaves
// hold each pair of neighbouring bins side by side and store it with one write, which halves the
// scattered writes that otherwise bound the natural-order transform.
template <class V, int L, class Sink>
[[gnu::noinline]] void forwardTwinBlock(float* xa, float* xb, Sink sinkA) noexcept;

template <class V, int L, class Sink>
inline void forwardTwin(float* xa, float* xb, Sink sinkA) noexcept {
    if constexpr (L <= kLeafLog2<V>) {
        if constexpr (!kSkipLeaves<Sink>) {
            V::template forwardLeafTwin<L>(xa, xb, sinkA);
        }
    } else {
        forwardTwinBlock<V, L>(xa, xb, sinkA);
    }
}

template <class V, int L, class Sink>
[[gnu::noinline]] void forwardTwinBlock(float* xa, float* xb, Sink sinkA) noexcept {
    constexpr int kN = 1 << L;
    if constexpr (kFusedPasses<V, L>) {
        forwardPass2<V, L>(xa, xa);
        forwardPass2<V, L>(xb, xb);
        forwardTwin<V, L - 2>(xa + kN, xb + kN, sinkA.third());
        forwardTwin<V, L - 2>(xa + kN + kN / 2, xb + kN + kN / 2, sinkA.fourth());
        forwardTwin<V, L - 3>(xa + kN / 2, xb + kN / 2, sinkA.half().third());
        forwardTwin<V, L - 3>(xa + 3 * kN / 4, xb + 3 * kN / 4, sinkA.half().fourth());
        forwardTwin<V, L - 2>(xa, xb, sinkA.half().half());
    } else {
        forwardLevelPass<V, L>(xa, xa);
        forwardLevelPass<V, L>(xb, xb);
        forwardTwin<V, L - 2>(xa + kN, xb + kN, sinkA.third());
        forwardTwin<V, L - 2>(xa + kN + kN / 2, xb + kN + kN / 2, sinkA.fourth());
        forwardTwin<V, L - 1>(xa, xb, sinkA.half());
    }
}

// A natural-order transform of 2^L values (L >= 7) with three quarters of its bins written by
// twins. After the outermost pass (src into x) and the passes of the half H and the fourth
// quarter F, H's half pairs with the third quarter (bins 4j and 4j+1) and H's fourth quarter with
// F's half (bins 8j-2 and 8j-1); H's third quarter and F's quarters go alone.
template <class V, int L, class Sink>
inline void forwardNaturalTwins(const float* src, float* x, Sink sink) noexcept {
    constexpr int kN = 1 << L;  // floats per half of the values
    float* h = x;
    float* t = x + kN;
    float* f = x + kN + kN / 2;
    forwardLevelPass<V, L>(src, x);
    forwardLevelPass<V, L - 1>(h, h);
    forwardLevelPass<V, L - 2>(f, f);
    forwardTwin<V, L - 2>(h, t, sink.half().half());
    forwardTwin<V, L - 3>(h + 3 * kN / 4, f, sink.half().fourth());
    forwardSub<V, L - 3>(h + kN / 2, sink.half().third());
    forwardSub<V, L - 4>(f + kN / 4, sink.fourth().third());
    forwardSub<V, L - 4>(f + kN / 4 + kN / 8, sink.fourth().fourth());
}

// The inverse twins: the leaves read each pair of neighbouring bins with one load.
template <class V, int L, class Source>
[[gnu::noinline]] void inverseTwinBlock(float* xa, float* xb, Source sourceA) noexcept;

template <class V, int L, class Source>
inline void inverseTwin(float* xa, float* xb, Source sourceA) noexcept {
    if constexpr (L <= kLeafLog2<V>) {
        if constexpr (!kSkipLeaves<Source>) {
            V::template inverseLeafTwin<L>(xa, xb, sourceA);
        }
    } else {
        inverseTwinBlock<V, L>(xa, xb, sourceA);
    }
}

template <class V, int L, class Source>
[[gnu::noinline]] void inverseTwinBlock(float* xa, float* xb, Source sourceA) noexcept {
    constexpr int kN = 1 << L;
    if constexpr (kFusedPasses<V, L>) {
        inverseTwin<V, L - 2>(xa, xb, sourceA.half().half());
        inverseTwin<V, L - 3>(xa + kN / 2, xb + kN / 2, sourceA.half().third());
        inverseTwin<V, L - 3>(xa + 3 * kN / 4, xb + 3 * kN / 4, sourceA.half().fourth());
        inverseTwin<V, L - 2>(xa + kN, xb + kN, sourceA.third());
        inverseTwin<V, L - 2>(xa + kN + kN / 2, xb + kN + kN / 2, sourceA.fourth());
        inversePass2<V, L>(xa, xa);
        inversePass2<V, L>(xb, xb);
    } else {
        inverseTwin<V, L - 1>(xa, xb, sourceA.half());
        inverseTwin<V, L - 2>(xa + kN, xb + kN, sourceA.third());
        inverseTwin<V, L - 2>(xa + kN + kN / 2, xb + kN + kN / 2, sourceA.fourth());
        inverseLevelPass<V, L>(xa, xa);
        inverseLevelPass<V, L>(xb, xb);
    }
}

// The inverse of forwardNaturalTwins: the same blocks read from their bins, then the passes of
// F, H and the whole, the last one from x into dst.
template <class V, int L, class Source>
inline void inverseNaturalTwins(float* x, float* dst, Source source) noexcept {
    constexpr int kN = 1 << L;
    float* h = x;
    float* t = x + kN;
    float* f = x + kN + kN / 2;
    inverseTwin<V, L - 2>(h, t, source.half().half());
    inverseTwin<V, L - 3>(h + 3 * kN / 4, f, source.half().fourth());
    inverseSub<V, L - 3>(h + kN / 2, source.half().third());
    inverseSub<V, L - 4>(f + kN / 4, source.fourth().third());
    inverseSub<V, L - 4>(f + kN / 4 + kN / 8, source.fourth().fourth());
    inverseLevelPass<V, L - 2>(f, f);
    inverseLevelPass<V, L - 1>(h, h);
    inverseLevelPass<V, L>(x, dst);
}

// KernelTable entries: in place, scrambled order.
template <class V, int L>
void forwardKernel(std::complex<float>* data) noexcept {
    forwardSub<V, L>(reinterpret_cast<float*>(data), InPlace{});
}

template <class V, int L>
void inverseKernel(std::complex<float>* data) noexcept {
    inverseSub<V, L>(reinterpret_cast<float*>(data), InPlace{});
}

// The leaves of a scheduled natural-order transform of 2^L values, whose blocks are in x.
template <class V, int L, int LeafL>
inline void forwardTask(float* x, std::complex<float>* data, const LeafTask& t) noexcept {
    constexpr uint32_t kStride = (uint32_t{1} << L) >> LeafL;
    const Natural sink{data, t.c, kStride};
    float* a = x + 2 * t.at[0];
    float* b = x + 2 * t.at[1];
    switch (t.kind) {
        case LeafTask::Quad:
            V::template forwardLeafQuad<LeafL>(a, b, x + 2 * t.at[2], x + 2 * t.at[3], sink);
            break;
        case LeafTask::Twin:
            forwardTwin<V, LeafL>(a, b, sink);
            break;
        case LeafTask::Pair:
            if constexpr (V::kPairedLeaves) {
                V::template forwardLeafPair<LeafL>(a, b, sink, Natural{data, t.cB, kStride});
            } else {
                forwardLeaf<V, LeafL>(a, sink);
                forwardLeaf<V, LeafL>(b, Natural{data, t.cB, kStride});
            }
            break;
        case LeafTask::Single:
            forwardLeaf<V, LeafL>(a, sink);
            break;
    }
}

template <class V, int L, int LeafL>
inline void inverseTask(float* x, std::complex<float>* data, const LeafTask& t) noexcept {
    constexpr uint32_t kStride = (uint32_t{1} << L) >> LeafL;
    const Natural source{data, t.c, kStride};
    float* a = x + 2 * t.at[0];
    float* b = x + 2 * t.at[1];
    switch (t.kind) {
        case LeafTask::Quad:
            V::template inverseLeafQuad<LeafL>(a, b, x + 2 * t.at[2], x + 2 * t.at[3], source);
            break;
        case LeafTask::Twin:
            inverseTwin<V, LeafL>(a, b, source);
            break;
        case LeafTask::Pair:
            if constexpr (V::kPairedLeaves) {
                V::template inverseLeafPair<LeafL>(a, b, source, Natural{data, t.cB, kStride});
            } else {
                inverseLeaf<V, LeafL>(a, source);
                inverseLeaf<V, LeafL>(b, Natural{data, t.cB, kStride});
            }
            break;
        case LeafTask::Single:
            inverseLeaf<V, LeafL>(a, source);
            break;
    }
}

template <class V, int L>
void forwardScheduledLeaves(float* x, std::complex<float>* data,
                            const LeafSchedule& schedule) noexcept {
    for (int32_t i = 0; i < schedule.count; ++i) {
        const LeafTask& t = schedule.tasks[i];
        if (t.log2 == 4) {
            forwardTask<V, L, 4>(x, data, t);
        } else {
            forwardTask<V, L, 5>(x, data, t);
        }
    }
}

template <class V, int L>
void inverseScheduledLeaves(float* x, std::complex<float>* data,
                            const LeafSchedule& schedule) noexcept {
    for (int32_t i = 0; i < schedule.count; ++i) {
        const LeafTask& t = schedule.tasks[i];
        if (t.log2 == 4) {
            inverseTask<V, L, 4>(x, data, t);
        } else {
            inverseTask<V, L, 5>(x, data, t);
        }
    }
}

// Vocabularies whose natural-order transforms can run from a schedule: 32-point leaves, twins and
// quads, the shape that the engine's schedules describe.
template <class V>
inline constexpr bool kScheduled = V::kLeaves&& V::kTwinLeaves&& V::kQuadLeaves&& kLeafLog2<V> == 5;

// Natural-order kernels. Unpadded: the data is read (forward) or written (inverse) by the
// outermost pass and by the leaves, and all levels in between work in the scratch. Padded (large
// forward transforms in the engine's own scratch): the levels work in place in the data, the
// leaves write to the padded scratch, and one linear copy moves the values back.
template <class V, int L>
void forwardNaturalKernel(std::complex<float>* data, std::complex<float>* scratch,
                          NaturalPlan plan) noexcept {
    float* d = reinterpret_cast<float*>(data);
    if constexpr (L <= kLeafLog2<V>) {
        forwardLeaf<V, L>(d, Natural{data, 0, 1});
    } else {
        constexpr int kN = 1 << L;
        if constexpr (L >= kPaddedMinLog2) {
            if (plan.padded) {
                if constexpr (V::kTwinLeaves) {
                    forwardNaturalTwins<V, L>(d, d, NaturalPadded{scratch, 0, 1});
                } else {
                    forwardBlock<V, L>(d, NaturalPadded{scratch, 0, 1});
                }
                for (int32_t i = 0; i < kN; i += 256) {
                    std::memcpy(static_cast<void*>(data + i), scratch + i + i / 32,
                                256 * sizeof(std::complex<float>));
                }
                return;
            }
        }
        float* s = reinterpret_cast<float*>(scratch);
        if constexpr (kScheduled<V> && L >= 7) {
            if (plan.schedule != nullptr) {
                forwardNaturalTwins<V, L>(d, s, PassesOnly{});
                forwardScheduledLeaves<V, L>(s, data, *plan.schedule);
                return;
            }
        }
        if constexpr (V::kTwinLeaves && L >= 7) {
            forwardNaturalTwins<V, L>(d, s, Natural{data, 0, 1});
        } else {
            // Not fused here: eight streams between two arrays fare worse than four.
            forwardBody<V, L, false>(d, s, Natural{data, 0, 1});
        }
    }
}

template <class V, int L>
void inverseNaturalKernel(std::complex<float>* data, std::complex<float>* scratch,
                          NaturalPlan plan) noexcept {
    float* d = reinterpret_cast<float*>(data);
    if constexpr (L <= kLeafLog2<V>) {
        inverseLeaf<V, L>(d, Natural{data, 0, 1});
    } else {
        // The inverse never takes the padded layout: its leaves only read the bins.
        float* s = reinterpret_cast<float*>(scratch);
        if constexpr (kScheduled<V> && L >= 7) {
            if (plan.schedule != nullptr) {
                inverseScheduledLeaves<V, L>(s, data, *plan.schedule);
                inverseNaturalTwins<V, L>(s, d, PassesOnly{});
                return;
            }
        }
        if constexpr (V::kTwinLeaves && L >= 7) {
            inverseNaturalTwins<V, L>(s, d, Natural{data, 0, 1});
        } else {
            inverseBody<V, L, false>(s, d, Natural{data, 0, 1});
        }
    }
}

template <class V, int... L>
void fillKernels(KernelSet& set, std::integer_sequence<int, L...>) noexcept {
    ((set.kernels[2 * L] = &forwardKernel<V, L + 1>,
      set.kernels[2 * L + 1] = &inverseKernel<V, L + 1>,
      set.natural[2 * L] = &forwardNaturalKernel<V, L + 1>,
      set.natural[2 * L + 1] = &inverseNaturalKernel<V, L + 1>),
     ...);
}

template <class V>
void fillKernels(KernelSet& set) noexcept {
    fillKernels<V>(set, std::make_integer_sequence<int, kMaxLog2>{});
}

}  // namespace
}  // namespace stemora::fft
