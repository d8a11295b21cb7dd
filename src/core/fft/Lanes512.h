#pragma once

// The vector vocabulary (see Passes.h) in 512-bit registers: eight interleaved complex float32
// values for the passes, or two leaves side by side in the 256-bit halves for the leaf kernels,
// which use only operations that act within those halves (see Lanes256.h). Needs AVX-512 F and
// DQ: include only from translation units compiled for them.

#include <immintrin.h>

#include "core/fft/Passes.h"

namespace stemora::fft {
// Internal linkage for the reason given in Passes.h.
namespace {

struct Lanes512 {
    using T = __m512;
    static constexpr int kWidth = 8;

    static T load(const float* p) noexcept { return _mm512_loadu_ps(p); }
    static void store(float* p, T v) noexcept { _mm512_storeu_ps(p, v); }
    static T add(T a, T b) noexcept { return _mm512_add_ps(a, b); }
    static T sub(T a, T b) noexcept { return _mm512_sub_ps(a, b); }
    static T mul(T a, T b) noexcept { return _mm512_mul_ps(a, b); }
    static T fmadd(T a, T b, T c) noexcept { return _mm512_fmadd_ps(a, b, c); }
    static T fnmadd(T a, T b, T c) noexcept { return _mm512_fnmadd_ps(a, b, c); }
    static T fmaddsub(T a, T b, T c) noexcept { return _mm512_fmaddsub_ps(a, b, c); }
    static T fmsubadd(T a, T b, T c) noexcept { return _mm512_fmsubadd_ps(a, b, c); }
    template <int Imm>
    static T shuffle(T a, T b) noexcept {
        return _mm512_shuffle_ps(a, b, Imm);
    }
    template <int Imm>
    static T blend(T a, T b) noexcept {
        return _mm512_mask_blend_ps(static_cast<__mmask16>(Imm | (Imm << 8)), a, b);
    }
    // The 128-bit halves of each 256-bit half, as Lanes256::halves does for one.
    template <int Imm>
    static T halves(T a, T b) noexcept {
        if constexpr (Imm == 0x00) {
            return _mm512_maskz_shuffle_f32x4(0xFFFF, a, a, 0xA0);
        } else if constexpr (Imm == 0x11) {
            return _mm512_maskz_shuffle_f32x4(0xFFFF, a, a, 0xF5);
        } else if constexpr (Imm == 0x01) {
            return _mm512_maskz_shuffle_f32x4(0xFFFF, a, a, 0xB1);
        } else if constexpr (Imm == 0x20) {
            return _mm512_permutex2var_ps(
                a, _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 8, 9, 10, 11, 24, 25, 26, 27), b);
        } else {
            static_assert(Imm == 0x31);
            return _mm512_permutex2var_ps(
                a, _mm512_setr_epi32(4, 5, 6, 7, 20, 21, 22, 23, 12, 13, 14, 15, 28, 29, 30, 31),
                b);
        }
    }
    // Eight floats in both 256-bit halves. Zero-masked forms: GCC 12's plain ones trip
    // -Wuninitialized inside its own header.
    static T constant(__m256 c) noexcept { return _mm512_maskz_broadcast_f32x8(0xFFFF, c); }
    static T broadcast(const float* p) noexcept { return constant(_mm256_loadu_ps(p)); }

    // Two-operand shuffles, for the same reason.
    static T swapReIm(T a) noexcept { return _mm512_shuffle_ps(a, a, 0xB1); }
    // (re, im) -> (-im, re)
    static T mulI(T a) noexcept {
        const __m512 evenSign = _mm512_castsi512_ps(_mm512_set1_epi64(0x80000000LL));
        return _mm512_xor_ps(swapReIm(a), evenSign);
    }
    // a + i b and a - i b, exactly (see Lanes256).
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
    static T mulSplitW(T x, T wRe, T wIm) noexcept {
        return _mm512_fmaddsub_ps(x, wRe, _mm512_mul_ps(swapReIm(x), wIm));
    }
    static T mulConjSplitW(T x, T wRe, T wIm) noexcept {
        return _mm512_fmsubadd_ps(x, wRe, _mm512_mul_ps(swapReIm(x), wIm));
    }
    static T mulW(T x, T w) noexcept {
        return mulSplitW(x, _mm512_shuffle_ps(w, w, 0xA0), _mm512_shuffle_ps(w, w, 0xF5));
    }
    static T mulConjW(T x, T w) noexcept {
        return mulConjSplitW(x, _mm512_shuffle_ps(w, w, 0xA0), _mm512_shuffle_ps(w, w, 0xF5));
    }
};

}  // namespace
}  // namespace stemora::fft
