#pragma once

// The vector vocabulary (see Passes.h) in 256-bit registers: four interleaved complex float32
// values, or one leaf's slots 4j .. 4j+3. Needs AVX2 and FMA: include only from translation units
// compiled for them. Besides the operations that the passes use, it has the lane operations that
// the leaf kernels are written in (LeavesPlain.h); every operation acts within 128-bit halves
// except halves<>, so the same kernels run on Lanes512, whose 256-bit halves hold two leaves.

#include <immintrin.h>

#include "core/fft/Passes.h"

namespace stemora::fft {
// Internal linkage for the reason given in Passes.h.
namespace {

struct Lanes256 {
    using T = __m256;
    static constexpr int kWidth = 4;

    static T load(const float* p) noexcept { return _mm256_loadu_ps(p); }
    static void store(float* p, T v) noexcept { _mm256_storeu_ps(p, v); }
    static T add(T a, T b) noexcept { return _mm256_add_ps(a, b); }
    static T sub(T a, T b) noexcept { return _mm256_sub_ps(a, b); }
    static T mul(T a, T b) noexcept { return _mm256_mul_ps(a, b); }
    static T fmadd(T a, T b, T c) noexcept { return _mm256_fmadd_ps(a, b, c); }
    static T fnmadd(T a, T b, T c) noexcept { return _mm256_fnmadd_ps(a, b, c); }
    static T fmaddsub(T a, T b, T c) noexcept { return _mm256_fmaddsub_ps(a, b, c); }
    static T fmsubadd(T a, T b, T c) noexcept { return _mm256_fmsubadd_ps(a, b, c); }
    template <int Imm>
    static T shuffle(T a, T b) noexcept {
        return _mm256_shuffle_ps(a, b, Imm);
    }
    template <int Imm>
    static T blend(T a, T b) noexcept {
        return _mm256_blend_ps(a, b, Imm);
    }
    // 128-bit halves as by vperm2f128: 0x20 (a.lo, b.lo), 0x31 (a.hi, b.hi), 0x00, 0x11, 0x01.
    template <int Imm>
    static T halves(T a, T b) noexcept {
        return _mm256_permute2f128_ps(a, b, Imm);
    }
    // Eight floats, in every 256-bit half of the register.
    static T constant(__m256 c) noexcept { return c; }
    static T broadcast(const float* p) noexcept { return _mm256_loadu_ps(p); }

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
    // x w and x conj(w) with w's real and imaginary parts already in every lane.
    static T mulSplitW(T x, T wRe, T wIm) noexcept {
        return _mm256_fmaddsub_ps(x, wRe, _mm256_mul_ps(swapReIm(x), wIm));
    }
    static T mulConjSplitW(T x, T wRe, T wIm) noexcept {
        return _mm256_fmsubadd_ps(x, wRe, _mm256_mul_ps(swapReIm(x), wIm));
    }
    static T mulW(T x, T w) noexcept {
        return mulSplitW(x, _mm256_moveldup_ps(w), _mm256_movehdup_ps(w));
    }
    static T mulConjW(T x, T w) noexcept {
        return mulConjSplitW(x, _mm256_moveldup_ps(w), _mm256_movehdup_ps(w));
    }
};

}  // namespace
}  // namespace stemora::fft
