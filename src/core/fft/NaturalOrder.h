#pragma once

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

#include <complex>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/fft/Recursion.h"

namespace stemora::fft {
namespace {

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
