#pragma once

// The split-radix recursion in scrambled order: each block runs its level's pass, then its
// quarters and its half, down to the leaves; a sink says where the leaves put their results.

#include <array>
#include <complex>
#include <cstdint>
#include <type_traits>

#include "core/fft/Passes.h"

namespace stemora::fft {
namespace {

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

// Where a block's results go (forward) or come from (inverse): its own place...
struct InPlace {
    static constexpr bool kNatural = false;
    InPlace half() const noexcept { return {}; }
    InPlace third() const noexcept { return {}; }
    InPlace fourth() const noexcept { return {}; }
};

// ... or the bins (c + stride * order[j]) mod N of the natural-order array. A padded array has
// one spare cache line after every 2 KiB (256 values), so that the leaves' writes at strides of
// N/32 values spread over the cache sets instead of evicting each other. It serves only the
// forward transform of sizes whose data outgrows the L1d (from 8192 on), which the tuner never
// runs, and there it pays for its extra copy: against the schedule alone it was 1.17x as fast at
// 8192 and 1.6x to 1.9x from 16384 to 65536 with AVX-512, 1.03x and 1.5x to 1.6x with AVX2 (AMD
// EPYC family 26 model 2, Zen 5, 48 KiB L1d).
template <bool Padded>
struct NaturalAt {
    static constexpr bool kNatural = true;
    std::complex<float>* Data;
    uint32_t C;
    uint32_t Stride;
    NaturalAt half() const noexcept { return {Data, C, 2 * Stride}; }
    NaturalAt third() const noexcept { return {Data, C + Stride, 4 * Stride}; }
    NaturalAt fourth() const noexcept { return {Data, C - Stride, 4 * Stride}; }
    // In a block of 2^L values the stride is N / 2^L, so N - 1 = (stride << L) - 1.
    template <int L>
    float* at(uint32_t bin) const noexcept {
        uint32_t i = (C + Stride * bin) & ((Stride << L) - 1);
        if constexpr (Padded) {
            i += (i >> 8) << 3;
        }
        return reinterpret_cast<float*>(Data + i);
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

// In-place recursion of a small block, one complex value at a time.
template <int L>
inline void forwardSmall(float* x) noexcept {
    if constexpr (L == 1) {
        const auto x0 = LanesScalar::load(x);
        const auto x1 = LanesScalar::load(x + 2);
        LanesScalar::store(x, LanesScalar::add(x0, x1));
        LanesScalar::store(x + 2, LanesScalar::sub(x0, x1));
    } else if constexpr (L >= 2) {
        constexpr int kN = 1 << L;
        forwardLevelPass<LanesScalar, L>(x, x);
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
        inverseLevelPass<LanesScalar, L>(x, x);
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
        V::template ForwardLeaf<L>(x, sink);
    } else {
        scalarForwardLeaf<L>(x, sink);
    }
}

template <class V, int L, class Source>
inline void inverseLeaf(float* x, Source source) noexcept {
    if constexpr (kSkipLeaves<Source>) {
    } else if constexpr (V::kLeaves && L >= 3 && L <= kLeafLog2<V>) {
        V::template InverseLeaf<L>(x, source);
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

// The two quarter transforms of a block of 2^L values, as an unrelated pair where the path
// runs two leaves at once.
template <class V, int L, class Sink>
inline void forwardQuarters(float* x, Sink sink) noexcept {
    constexpr int kN = 1 << L;
    if constexpr (V::kUnrelatedPairs && L - 2 >= 3 && L - 2 <= kLeafLog2<V> && !kSkipLeaves<Sink>) {
        V::template ForwardUnrelatedPair<L - 2>(x + kN, x + kN + kN / 2, sink.third(),
                                                sink.fourth());
    } else {
        forwardSub<V, L - 2>(x + kN, sink.third());
        forwardSub<V, L - 2>(x + kN + kN / 2, sink.fourth());
    }
}

template <class V, int L, class Source>
inline void inverseQuarters(float* x, Source source) noexcept {
    constexpr int kN = 1 << L;
    if constexpr (V::kUnrelatedPairs && L - 2 >= 3 && L - 2 <= kLeafLog2<V> &&
                  !kSkipLeaves<Source>) {
        V::template InverseUnrelatedPair<L - 2>(x + kN, x + kN + kN / 2, source.third(),
                                                source.fourth());
    } else {
        inverseSub<V, L - 2>(x + kN, source.third());
        inverseSub<V, L - 2>(x + kN + kN / 2, source.fourth());
    }
}

// Two-level passes (a level with its half's level) where the half is a block of its own and wide
// enough.
template <class V, int L>
inline constexpr bool kTwoLevelPasses = (L - 1 > kLeafLog2<V> && (1 << L) / 8 >= V::kWidth);

// A block's levels: its outermost pass from src into x (the same or apart), the rest in x.
template <class V, int L, bool TwoLevels = kTwoLevelPasses<V, L>, class Sink>
inline void forwardBody(const float* src, float* x, Sink sink) noexcept {
    if constexpr (TwoLevels) {
        forwardTwoLevelPass<V, L>(src, x);
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
template <class V, int L, bool TwoLevels = kTwoLevelPasses<V, L>, class Source>
inline void inverseBody(float* x, float* dst, Source source) noexcept {
    if constexpr (TwoLevels) {
        inverseSub<V, L - 2>(x, source.half().half());
        inverseQuarters<V, L - 1>(x, source.half());
        inverseQuarters<V, L>(x, source);
        inverseTwoLevelPass<V, L>(x, dst);
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

// KernelTable entries: in place, scrambled order.
template <class V, int L>
void forwardKernel(std::complex<float>* data) noexcept {
    forwardSub<V, L>(reinterpret_cast<float*>(data), InPlace{});
}

template <class V, int L>
void inverseKernel(std::complex<float>* data) noexcept {
    inverseSub<V, L>(reinterpret_cast<float*>(data), InPlace{});
}

}  // namespace
}  // namespace stemora::fft
