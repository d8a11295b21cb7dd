// AVX-512 path; this file is compiled with AVX-512 flags and entered only on CPUs that have them.

// GCC 12's AVX-512 headers build some intrinsics on deliberately undefined operands, which
// -Wuninitialized reports once they are inlined here; the warning is about the header, not us.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "core/fft/NaturalOrder.h"
#if defined(__x86_64__)
#include "core/fft/Lanes512.h"
#include "core/fft/LeavesNeighbourPair.h"
#include "core/fft/LeavesNeighbourQuad.h"
#include "core/fft/LeavesPlain.h"
#endif

namespace stemora::fft {
#if defined(__x86_64__)
namespace {

// The 512-bit vocabulary for the passes, with leaves of 256-bit registers: one leaf per register,
// two at once in the halves of a 512-bit one (a block's two quarters, or a neighbour pair), and
// neighbour quads.
struct Avx512Path : Lanes512 {
    static constexpr bool kLeaves = true;
    static constexpr int kLeafLog2 = 5;
    static constexpr bool kUnrelatedPairs = true;
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
    [[gnu::always_inline]] static void ForwardUnrelatedPair(float* xa, float* xb, Sink sinkA,
                                                            Sink sinkB) noexcept {
        avx::forwardUnrelatedPair<L>(xa, xb, sinkA, sinkB);
    }
    template <int L, class Source>
    [[gnu::always_inline]] static void InverseUnrelatedPair(float* xa, float* xb, Source sourceA,
                                                            Source sourceB) noexcept {
        avx::inverseUnrelatedPair<L>(xa, xb, sourceA, sourceB);
    }
    template <int L, class Sink>
    [[gnu::always_inline]] static void ForwardNeighbourPair(float* xa, float* xb,
                                                            Sink sinkA) noexcept {
        avx::forwardNeighbourPair512<L>(xa, xb, sinkA);
    }
    template <int L, class Source>
    [[gnu::always_inline]] static void InverseNeighbourPair(float* xa, float* xb,
                                                            Source sourceA) noexcept {
        avx::inverseNeighbourPair512<L>(xa, xb, sourceA);
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

void FillAvx512Kernels(KernelSet& set) noexcept {
#if defined(__x86_64__)
    fillKernels<Avx512Path>(set);
#else
    fillScalarKernels(set);  // never selected: the CPU check admits only the scalar path here
#endif
}

}  // namespace stemora::fft
