#pragma once

// Vector vocabulary of four interleaved complex float32 values in one AVX register (needs AVX2
// and FMA: include only from translation units compiled for them).

#include <immintrin.h>

#include "core/fft/LeavesQuad.h"
#include "core/fft/LeavesTwin.h"

namespace stemora::fft {

struct Avx2Ops {
    using T = __m256;
    static constexpr int kWidth = 4;
    static constexpr bool kLeaves = true;
    static constexpr int kLeafLog2 = 5;
    static constexpr bool kPairedLeaves = false;
    // Twin blocks with neighbouring bins finish with paired writes (natural order only).
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
        avx::forwardLeafTwinY<L>(xa, xb, sinkA);
    }
    template <int L, class Source>
    [[gnu::always_inline]] static void inverseLeafTwin(float* xa, float* xb,
                                                       Source sourceA) noexcept {
        avx::inverseLeafTwinY<L>(xa, xb, sourceA);
    }
    template <int L, class Sink>
    [[gnu::always_inline]] static void forwardLeaf(float* x, Sink sink) noexcept {
        avx::forwardLeaf<L>(x, sink);
    }
    template <int L, class Source>
    [[gnu::always_inline]] static void inverseLeaf(float* x, Source source) noexcept {
        avx::inverseLeaf<L>(x, source);
    }
    static T load(const float* p) noexcept { return _mm256_loadu_ps(p); }
    static void store(float* p, T v) noexcept { _mm256_storeu_ps(p, v); }
    static T add(T a, T b) noexcept { return _mm256_add_ps(a, b); }
    static T sub(T a, T b) noexcept { return _mm256_sub_ps(a, b); }
    static T swapReIm(T a) noexcept { return _mm256_permute_ps(a, 0xB1); }
    // (re, im) -> (-im, re)
    static T mulI(T a) noexcept {
        return _mm256_xor_ps(swapReIm(a),
                             _mm256_setr_ps(-0.0f, 0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f, 0.0f));
    }
    // a + i b and a - i b: the sums of a and (-b.im, b.re), exactly (a * 1 is exact, and the
    // fused form rounds once, like the plain sum).
    static T addI(T a, T b) noexcept { return _mm256_addsub_ps(a, swapReIm(b)); }
    static T subI(T a, T b) noexcept {
        return _mm256_fmsubadd_ps(a, _mm256_set1_ps(1.0f), swapReIm(b));
    }
    // Complex values in reverse order, each with re and im exchanged: the floats reversed.
    static T reverseSwap(T a) noexcept {
        return _mm256_permutevar8x32_ps(a, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
    }
    static T mulW(T x, T w) noexcept {
        return _mm256_fmaddsub_ps(x, _mm256_moveldup_ps(w),
                                  _mm256_mul_ps(swapReIm(x), _mm256_movehdup_ps(w)));
    }
    static T mulConjW(T x, T w) noexcept {
        return _mm256_fmsubadd_ps(x, _mm256_moveldup_ps(w),
                                  _mm256_mul_ps(swapReIm(x), _mm256_movehdup_ps(w)));
    }
};

}  // namespace stemora::fft
