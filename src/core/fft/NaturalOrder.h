#pragma once

// The natural-order transforms (ComplexFFT with Reorder). Which path runs, as Engine::plan in
// uFFTasm.cpp decides it from the L1d geometry (here for 64-byte lines):
//
//   N                   direction  instruction set  path
//   2 .. 16             both       any              one leaf, straight to (from) the bins
//   32                  both       AVX2, AVX-512    one leaf, straight to (from) the bins
//   32 .. 65536         both       scalar           plain recursion; forward beyond the L1d:
//                                                   padded layout
//   64                  both       AVX2, AVX-512    plain recursion
//   128 .. 512          both       AVX2, AVX-512    plain recursion with neighbour pairs
//   1024 .. 65536       inverse    AVX2, AVX-512    schedule
//   1024 .. L1d         forward    AVX2, AVX-512    schedule (the tuner's 4096 points)
//   beyond L1d (8192+)  forward    AVX2, AVX-512    padded layout with neighbour pairs
//
// "Beyond the L1d": the N values, 8 bytes each, do not fit in it; from 8192 on for the 48 KiB L1d
// of a Zen 5 or a Golden Cove. The padded layout needs the engine's own scratch: with a caller's
// Work, a forward transform beyond the L1d runs the plain recursion with neighbour pairs.
//
// Without Reorder every path runs the plain recursion in place and leaves the scrambled order.
//
// Natural order without a permutation pass: the forward recursion leaves a block of M values
// whose slot j holds bin (c + stride * order_M[j]) mod N, where the whole transform has c = 0,
// stride = 1, and the half, third and fourth quarter of a block have (c, 2 stride),
// (c + stride, 4 stride) and (c - stride, 4 stride). So the leaves can write their results
// straight to their bins (and the inverse leaves read theirs from there): the first pass goes
// from the data to the scratch, the inner levels work in the scratch and the leaves write back to
// the data in natural order.
//
// Plain recursion: the leaves run as the recursion reaches them. With neighbour pairs: three
// quarters of the bins come from pairs of blocks run in lockstep whose leaves' bins are
// neighbours, so each pair of bins is one write (or read). Schedule: the forward transform runs all
// its passes first and then the leaves in the schedule's order (LeafSchedule.cpp): four (or two)
// leaves whose bins are neighbours at a time, so that runs of bins are written together, and
// grouped by the cache lines they write, so that each line is filled while it stays cached
// instead of by scattered writes far apart in time; the inverse runs the leaves first, grouped by
// the lines they read. Padded layout: see NaturalAt in Recursion.h. The arithmetic is the same on
// every path, bit for bit.

#include <complex>
#include <cstdint>
#include <cstring>

#include "core/fft/Recursion.h"

namespace stemora::fft {
namespace {

// Neighbour blocks: two blocks of 2^L values with the same stride whose bins are neighbours, A's
// bins c + stride * order[j] and B's c + 1 + stride * order[j] (c even). Run in lockstep, their
// leaves hold each pair of neighbouring bins side by side and store it with one write, which halves
// the scattered writes that otherwise bound the natural-order transform.
template <class V, int L, class Sink>
[[gnu::noinline]] void forwardNeighbourBlocks(float* xa, float* xb, Sink sinkA) noexcept;

template <class V, int L, class Sink>
inline void forwardNeighbours(float* xa, float* xb, Sink sinkA) noexcept {
    if constexpr (L <= kLeafLog2<V>) {
        if constexpr (!kSkipLeaves<Sink>) {
            V::template ForwardNeighbourPair<L>(xa, xb, sinkA);
        }
    } else {
        forwardNeighbourBlocks<V, L>(xa, xb, sinkA);
    }
}

template <class V, int L, class Sink>
[[gnu::noinline]] void forwardNeighbourBlocks(float* xa, float* xb, Sink sinkA) noexcept {
    constexpr int kN = 1 << L;
    if constexpr (kTwoLevelPasses<V, L>) {
        forwardTwoLevelPass<V, L>(xa, xa);
        forwardTwoLevelPass<V, L>(xb, xb);
        forwardNeighbours<V, L - 2>(xa + kN, xb + kN, sinkA.third());
        forwardNeighbours<V, L - 2>(xa + kN + kN / 2, xb + kN + kN / 2, sinkA.fourth());
        forwardNeighbours<V, L - 3>(xa + kN / 2, xb + kN / 2, sinkA.half().third());
        forwardNeighbours<V, L - 3>(xa + 3 * kN / 4, xb + 3 * kN / 4, sinkA.half().fourth());
        forwardNeighbours<V, L - 2>(xa, xb, sinkA.half().half());
    } else {
        forwardLevelPass<V, L>(xa, xa);
        forwardLevelPass<V, L>(xb, xb);
        forwardNeighbours<V, L - 2>(xa + kN, xb + kN, sinkA.third());
        forwardNeighbours<V, L - 2>(xa + kN + kN / 2, xb + kN + kN / 2, sinkA.fourth());
        forwardNeighbours<V, L - 1>(xa, xb, sinkA.half());
    }
}

// A natural-order transform of 2^L values (L >= 7) with three quarters of its bins written by
// neighbour blocks. After the outermost pass (src into x) and the passes of the half H and the
// fourth quarter F, H's half pairs with the third quarter (bins 4j and 4j+1) and H's fourth quarter
// with F's half (bins 8j-2 and 8j-1); H's third quarter and F's quarters go alone.
template <class V, int L, class Sink>
inline void forwardNaturalBody(const float* src, float* x, Sink sink) noexcept {
    constexpr int kN = 1 << L;  // floats per half of the values
    float* h = x;
    float* t = x + kN;
    float* f = x + kN + kN / 2;
    forwardLevelPass<V, L>(src, x);
    forwardLevelPass<V, L - 1>(h, h);
    forwardLevelPass<V, L - 2>(f, f);
    forwardNeighbours<V, L - 2>(h, t, sink.half().half());
    forwardNeighbours<V, L - 3>(h + 3 * kN / 4, f, sink.half().fourth());
    forwardSub<V, L - 3>(h + kN / 2, sink.half().third());
    forwardSub<V, L - 4>(f + kN / 4, sink.fourth().third());
    forwardSub<V, L - 4>(f + kN / 4 + kN / 8, sink.fourth().fourth());
}

// The inverse neighbour blocks: the leaves read each pair of neighbouring bins with one load.
template <class V, int L, class Source>
[[gnu::noinline]] void inverseNeighbourBlocks(float* xa, float* xb, Source sourceA) noexcept;

template <class V, int L, class Source>
inline void inverseNeighbours(float* xa, float* xb, Source sourceA) noexcept {
    if constexpr (L <= kLeafLog2<V>) {
        if constexpr (!kSkipLeaves<Source>) {
            V::template InverseNeighbourPair<L>(xa, xb, sourceA);
        }
    } else {
        inverseNeighbourBlocks<V, L>(xa, xb, sourceA);
    }
}

template <class V, int L, class Source>
[[gnu::noinline]] void inverseNeighbourBlocks(float* xa, float* xb, Source sourceA) noexcept {
    constexpr int kN = 1 << L;
    if constexpr (kTwoLevelPasses<V, L>) {
        inverseNeighbours<V, L - 2>(xa, xb, sourceA.half().half());
        inverseNeighbours<V, L - 3>(xa + kN / 2, xb + kN / 2, sourceA.half().third());
        inverseNeighbours<V, L - 3>(xa + 3 * kN / 4, xb + 3 * kN / 4, sourceA.half().fourth());
        inverseNeighbours<V, L - 2>(xa + kN, xb + kN, sourceA.third());
        inverseNeighbours<V, L - 2>(xa + kN + kN / 2, xb + kN + kN / 2, sourceA.fourth());
        inverseTwoLevelPass<V, L>(xa, xa);
        inverseTwoLevelPass<V, L>(xb, xb);
    } else {
        inverseNeighbours<V, L - 1>(xa, xb, sourceA.half());
        inverseNeighbours<V, L - 2>(xa + kN, xb + kN, sourceA.third());
        inverseNeighbours<V, L - 2>(xa + kN + kN / 2, xb + kN + kN / 2, sourceA.fourth());
        inverseLevelPass<V, L>(xa, xa);
        inverseLevelPass<V, L>(xb, xb);
    }
}

// The inverse of forwardNaturalBody: the same blocks read from their bins, then the passes of
// F, H and the whole, the last one from x into dst.
template <class V, int L, class Source>
inline void inverseNaturalBody(float* x, float* dst, Source source) noexcept {
    constexpr int kN = 1 << L;
    float* h = x;
    float* t = x + kN;
    float* f = x + kN + kN / 2;
    inverseNeighbours<V, L - 2>(h, t, source.half().half());
    inverseNeighbours<V, L - 3>(h + 3 * kN / 4, f, source.half().fourth());
    inverseSub<V, L - 3>(h + kN / 2, source.half().third());
    inverseSub<V, L - 4>(f + kN / 4, source.fourth().third());
    inverseSub<V, L - 4>(f + kN / 4 + kN / 8, source.fourth().fourth());
    inverseLevelPass<V, L - 2>(f, f);
    inverseLevelPass<V, L - 1>(h, h);
    inverseLevelPass<V, L>(x, dst);
}

// The leaves of a scheduled natural-order transform of 2^L values, whose blocks are in x.
template <class V, int L, int LeafL>
inline void forwardLeafTask(float* x, std::complex<float>* data, const LeafTask& t) noexcept {
    constexpr uint32_t kStride = (uint32_t{1} << L) >> LeafL;
    const Natural sink{data, t.C, kStride};
    float* a = x + 2 * t.At[0];
    float* b = x + 2 * t.At[1];
    switch (t.Kind) {
        case LeafTask::NeighbourQuad:
            V::template ForwardNeighbourQuad<LeafL>(a, b, x + 2 * t.At[2], x + 2 * t.At[3], sink);
            break;
        case LeafTask::NeighbourPair:
            forwardNeighbours<V, LeafL>(a, b, sink);
            break;
        case LeafTask::UnrelatedPair:
            if constexpr (V::kUnrelatedPairs) {
                V::template ForwardUnrelatedPair<LeafL>(a, b, sink, Natural{data, t.CB, kStride});
            } else {
                forwardLeaf<V, LeafL>(a, sink);
                forwardLeaf<V, LeafL>(b, Natural{data, t.CB, kStride});
            }
            break;
        case LeafTask::Single:
            forwardLeaf<V, LeafL>(a, sink);
            break;
    }
}

template <class V, int L, int LeafL>
inline void inverseLeafTask(float* x, std::complex<float>* data, const LeafTask& t) noexcept {
    constexpr uint32_t kStride = (uint32_t{1} << L) >> LeafL;
    const Natural source{data, t.C, kStride};
    float* a = x + 2 * t.At[0];
    float* b = x + 2 * t.At[1];
    switch (t.Kind) {
        case LeafTask::NeighbourQuad:
            V::template InverseNeighbourQuad<LeafL>(a, b, x + 2 * t.At[2], x + 2 * t.At[3], source);
            break;
        case LeafTask::NeighbourPair:
            inverseNeighbours<V, LeafL>(a, b, source);
            break;
        case LeafTask::UnrelatedPair:
            if constexpr (V::kUnrelatedPairs) {
                V::template InverseUnrelatedPair<LeafL>(a, b, source, Natural{data, t.CB, kStride});
            } else {
                inverseLeaf<V, LeafL>(a, source);
                inverseLeaf<V, LeafL>(b, Natural{data, t.CB, kStride});
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
    for (int32_t i = 0; i < schedule.Count; ++i) {
        const LeafTask& t = schedule.Tasks[i];
        if (t.Log2 == 4) {
            forwardLeafTask<V, L, 4>(x, data, t);
        } else {
            forwardLeafTask<V, L, 5>(x, data, t);
        }
    }
}

template <class V, int L>
void inverseScheduledLeaves(float* x, std::complex<float>* data,
                            const LeafSchedule& schedule) noexcept {
    for (int32_t i = 0; i < schedule.Count; ++i) {
        const LeafTask& t = schedule.Tasks[i];
        if (t.Log2 == 4) {
            inverseLeafTask<V, L, 4>(x, data, t);
        } else {
            inverseLeafTask<V, L, 5>(x, data, t);
        }
    }
}

// Vocabularies whose natural-order transforms can run from a schedule: 32-point leaves, neighbour
// pairs and quads, the shape that the engine's schedules describe.
template <class V>
inline constexpr bool kScheduled = (V::kLeaves && V::kNeighbourPairs && V::kNeighbourQuads &&
                                    kLeafLog2<V> == 5);

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
            if (plan.Padded) {
                if constexpr (V::kNeighbourPairs) {
                    forwardNaturalBody<V, L>(d, d, NaturalPadded{scratch, 0, 1});
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
            if (plan.Schedule != nullptr) {
                forwardNaturalBody<V, L>(d, s, PassesOnly{});
                forwardScheduledLeaves<V, L>(s, data, *plan.Schedule);
                return;
            }
        }
        if constexpr (V::kNeighbourPairs && L >= 7) {
            forwardNaturalBody<V, L>(d, s, Natural{data, 0, 1});
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
            if (plan.Schedule != nullptr) {
                inverseScheduledLeaves<V, L>(s, data, *plan.Schedule);
                inverseNaturalBody<V, L>(s, d, PassesOnly{});
                return;
            }
        }
        if constexpr (V::kNeighbourPairs && L >= 7) {
            inverseNaturalBody<V, L>(s, d, Natural{data, 0, 1});
        } else {
            inverseBody<V, L, false>(s, d, Natural{data, 0, 1});
        }
    }
}

// The kernel table of a path: both orders and directions of every size up to 2^L.
template <class V, int L = kMaxLog2>
void fillKernels(KernelSet& set) noexcept {
    set.Kernels[2 * (L - 1)] = &forwardKernel<V, L>;
    set.Kernels[2 * (L - 1) + 1] = &inverseKernel<V, L>;
    set.Natural[2 * (L - 1)] = &forwardNaturalKernel<V, L>;
    set.Natural[2 * (L - 1) + 1] = &inverseNaturalKernel<V, L>;
    if constexpr (L > 1) {
        fillKernels<V, L - 1>(set);
    }
}

}  // namespace
}  // namespace stemora::fft
