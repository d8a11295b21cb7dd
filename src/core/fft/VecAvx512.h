#pragma once

// Vector vocabulary of eight interleaved complex float32 values in one AVX-512 register (needs
// AVX-512 F and DQ: include only from translation units compiled for them).

#include <immintrin.h>

#include "core/fft/LeavesQuad.h"
#include "core/fft/LeavesTwin.h"

namespace stemora::fft {

struct Avx512Ops {
    using T = __m512;
    static constexpr int kWidth = 8;
    static constexpr bool kLeaves = true;
    static constexpr int kLeafLog2 = 5;
    template <int L, class Sink>
    [[gnu::always_inline]] static void forwardLeaf(float* x, Sink sink) noexcept {
        avx::forwardLeaf<L>(x, sink);
    }
    template <int L, class Source>
    [[gnu::always_inline]] static void inverseLeaf(float* x, Source source) noexcept {
        avx::inverseLeaf<L>(x, source);
    }
    // A block's two quarters go through the leaf kernels together, one in each half register.
    static constexpr bool kPairedLeaves = true;
    // Twin blocks with neighbouring bins run through the leaves together (natural order only).
    static constexpr bool kTwinLeaves = true;
    // Four leaves whose bins are neighbours run together (natural order only).
    static constexpr bool kQuadLeaves = true;
    template <int L, class Sink>
    [[gnu::always_inline]] static void forwardLeafQuad(float* xa, float* xb, float* xc, float* xd,
                                                       Sink sinkA) noexcept {
        avx::forwardLeafQuad<L>(xa, xb, xc, xd, sinkA);
    }
    template <int L, class Source>
    [[gnu::always_inline]] static void inverseLeafQuad(float* xa, float* xb, float* xc, float* xd,
                                                       Source sourceA) noexcept {
        avx::inverseLeafQuad<L>(xa, xb, xc, xd, sourceA);
    }
    template <int L, class Sink>
    [[gnu::always_inline]] static void forwardLeafTwin(float* xa, float* xb, Sink sinkA) noexcept {
        avx::forwardLeafTwin<L>(xa, xb, sinkA);
    }
    template <int L, class Source>
    [[gnu::always_inline]] static void inverseLeafTwin(float* xa, float* xb,
                                                       Source sourceA) noexcept {
        avx::inverseLeafTwin<L>(xa, xb, sourceA);
    }
    template <int L, class Sink>
    [[gnu::always_inline]] static void forwardLeafPair(float* xa, float* xb, Sink sinkA,
                                                       Sink sinkB) noexcept {
        avx::forwardLeafPair<L>(xa, xb, sinkA, sinkB);
    }
    template <int L, class Source>
    [[gnu::always_inline]] static void inverseLeafPair(float* xa, float* xb, Source sourceA,
                                                       Source sourceB) noexcept {
        avx::inverseLeafPair<L>(xa, xb, sourceA, sourceB);
    }
    static T load(const float* p) noexcept { return _mm512_loadu_ps(p); }
    static void store(float* p, T v) noexcept { _mm512_storeu_ps(p, v); }
    static T add(T a, T b) noexcept { return _mm512_add_ps(a, b); }
    static T sub(T a, T b) noexcept { return _mm512_sub_ps(a, b); }
    // Two-operand shuffles: GCC 12's one-operand forms trip -Wuninitialized inside its own header.
    static T swapReIm(T a) noexcept { return _mm512_shuffle_ps(a, a, 0xB1); }
    static T dupRe(T a) noexcept { return _mm512_shuffle_ps(a, a, 0xA0); }
    static T dupIm(T a) noexcept { return _mm512_shuffle_ps(a, a, 0xF5); }
    // (re, im) -> (-im, re)
    static T mulI(T a) noexcept {
        const __m512 evenSign = _mm512_castsi512_ps(_mm512_set1_epi64(0x80000000LL));
        return _mm512_xor_ps(swapReIm(a), evenSign);
    }
    static T addI(T a, T b) noexcept {
        return _mm512_fmaddsub_ps(a, _mm512_set1_ps(1.0f), swapReIm(b));
    }
    static T subI(T a, T b) noexcept {
        return _mm512_fmsubadd_ps(a, _mm512_set1_ps(1.0f), swapReIm(b));
    }
    // Complex values in reverse order, each with re and im exchanged: the floats reversed.
    static T reverseSwap(T a) noexcept {
        return _mm512_permutexvar_ps(
            _mm512_setr_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0), a);
    }
    static T mulW(T x, T w) noexcept {
        return _mm512_fmaddsub_ps(x, dupRe(w), _mm512_mul_ps(swapReIm(x), dupIm(w)));
    }
    static T mulConjW(T x, T w) noexcept {
        return _mm512_fmsubadd_ps(x, dupRe(w), _mm512_mul_ps(swapReIm(x), dupIm(w)));
    }
};

}  // namespace stemora::fft
