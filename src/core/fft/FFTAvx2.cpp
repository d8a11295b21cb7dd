// AVX2 + FMA path; this file is compiled with -mavx2 -mfma and entered only on CPUs that have them.

#include "core/fft/NaturalOrder.h"
#if defined(__x86_64__)
#include "core/fft/Lanes256.h"
#include "core/fft/LeavesNeighbourPair.h"
#include "core/fft/LeavesNeighbourQuad.h"
#include "core/fft/LeavesPlain.h"
#endif

namespace stemora::fft {
#if defined(__x86_64__)
namespace {

// The 256-bit vocabulary with its leaves: one leaf per register, neighbour pairs and quads.
struct Avx2Path : Lanes256 {
    static constexpr bool kLeaves = true;
    static constexpr int kLeafLog2 = 5;
    static constexpr bool kUnrelatedPairs = false;
    static constexpr bool kNeighbourPairs = true;
    static constexpr bool kNeighbourQuads = true;
    template <int L, class Sink>
    [[gnu::always_inline]] static void ForwardLeaf(float* x, Sink sink) noexcept {
        avx::forwardLeaf<L>(x, sink);
    }
    template <int L, class Source>
    [[gnu::always_inline]] static void InverseLeaf(float* x, Source source) noexcept {
        avx::inverseLeaf<L>(x, source);
    }
    template <int L, class Sink>
    [[gnu::always_inline]] static void ForwardNeighbourPair(float* xa, float* xb,
                                                            Sink sinkA) noexcept {
        avx::forwardNeighbourPair256<L>(xa, xb, sinkA);
    }
    template <int L, class Source>
    [[gnu::always_inline]] static void InverseNeighbourPair(float* xa, float* xb,
                                                            Source sourceA) noexcept {
        avx::inverseNeighbourPair256<L>(xa, xb, sourceA);
    }
    template <int L, class Sink>
    [[gnu::always_inline]] static void ForwardNeighbourQuad(float* xa, float* xb, float* xc,
                                                            float* xd, Sink sinkA) noexcept {
        avx::forwardNeighbourQuad<L>(xa, xb, xc, xd, sinkA);
    }
    template <int L, class Source>
    [[gnu::always_inline]] static void InverseNeighbourQuad(float* xa, float* xb, float* xc,
                                                            float* xd, Source sourceA) noexcept {
        avx::inverseNeighbourQuad<L>(xa, xb, xc, xd, sourceA);
    }
};

}  // namespace
#endif

void FillAvx2Kernels(KernelSet& set) noexcept {
#if defined(__x86_64__)
    fillKernels<Avx2Path>(set);
#else
    fillScalarKernels(set);  // never selected: the CPU check admits only the scalar path here
#endif
}

}  // namespace stemora::fft
