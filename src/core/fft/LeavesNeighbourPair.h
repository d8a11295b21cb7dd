#pragma once

// Neighbour pairs: two leaves of the same size whose bins are neighbours (A's c + stride *
// order[j], B's the next bin, c even), each pair of neighbouring bins moved with one 16-byte
// access (needs AVX2 and FMA, like LeavesPlain.h).

#include <immintrin.h>

#include "core/fft/LeavesPlain.h"

namespace stemora::fft {
namespace {
namespace avx {

// In 256-bit registers: A's leaf goes back in place, then B's registers meet A's again, and each
// pair of neighbouring bins (A's slot j at bin b, B's at b + 1) is one 16-byte write.
template <int L, class Sink>
[[gnu::always_inline]] inline void forwardNeighbourPair256(float* xa, float* xb,
                                                           Sink sinkA) noexcept {
    forwardLeaf<L>(xa, InPlace{});
    forwardRegs<Lanes256, L>(
        [&](int j) __attribute__((always_inline)) { return _mm256_loadu_ps(xb + 8 * j); },
        [&](int j, __m256 v) __attribute__((always_inline)) {
            const __m256d a = _mm256_castps_pd(_mm256_loadu_ps(xa + 8 * j));
            const __m256d b = _mm256_castps_pd(v);
            const __m256 even = _mm256_castpd_ps(_mm256_unpacklo_pd(a, b));  // (A0 B0 | A2 B2)
            const __m256 odd = _mm256_castpd_ps(_mm256_unpackhi_pd(a, b));   // (A1 B1 | A3 B3)
            _mm_storeu_ps(sinkA.template at<L>(kSlotBins<L>[4 * j]), _mm256_castps256_ps128(even));
            _mm_storeu_ps(sinkA.template at<L>(kSlotBins<L>[4 * j + 1]),
                          _mm256_castps256_ps128(odd));
            _mm_storeu_ps(sinkA.template at<L>(kSlotBins<L>[4 * j + 2]),
                          _mm256_extractf128_ps(even, 1));
            _mm_storeu_ps(sinkA.template at<L>(kSlotBins<L>[4 * j + 3]),
                          _mm256_extractf128_ps(odd, 1));
        });
}

// Reads a pair of neighbouring bins (A's value, then B's) as one 128-bit value.
template <int L, class Source>
[[gnu::always_inline]] inline __m128 loadPair(Source sourceA, int slot) noexcept {
    return _mm_loadu_ps(sourceA.template at<L>(kSlotBins<L>[slot]));
}

template <int L, class Source>
[[gnu::always_inline]] inline void inverseNeighbourPair256(float* xa, float* xb,
                                                           Source sourceA) noexcept {
    inverseRegs<Lanes256, L>(
        [&](int j) __attribute__((always_inline)) {
            const __m256d even = _mm256_castps_pd(
                _mm256_set_m128(loadPair<L>(sourceA, 4 * j + 2), loadPair<L>(sourceA, 4 * j)));
            const __m256d odd = _mm256_castps_pd(
                _mm256_set_m128(loadPair<L>(sourceA, 4 * j + 3), loadPair<L>(sourceA, 4 * j + 1)));
            _mm256_storeu_ps(xa + 8 * j, _mm256_castpd_ps(_mm256_unpacklo_pd(even, odd)));
            return _mm256_castpd_ps(_mm256_unpackhi_pd(even, odd));
        },
        [&](int j, __m256 v) __attribute__((always_inline)) { _mm256_storeu_ps(xb + 8 * j, v); });
    inverseLeaf<L>(xa, InPlace{});
}

#if defined(__AVX512F__) && defined(__AVX512DQ__)
// In the halves of 512-bit registers: A's slot j goes to bin b and B's to b + 1, so each pair is
// one 16-byte write.
template <int L, class Sink>
[[gnu::always_inline]] inline void forwardNeighbourPair512(float* xa, float* xb,
                                                           Sink sinkA) noexcept {
    forwardRegs<Lanes512, L>(
        [&](int j) __attribute__((always_inline)) {
            return join(_mm256_loadu_ps(xa + 8 * j), _mm256_loadu_ps(xb + 8 * j));
        },
        [&](int j, __m512 v) __attribute__((always_inline)) {
            // (A0 A1 A2 A3 | B0 B1 B2 B3) -> (A0 B0 | A1 B1 | A2 B2 | A3 B3)
            const __m512 pairs = _mm512_permutexvar_ps(
                _mm512_setr_epi32(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15), v);
            _mm_storeu_ps(sinkA.template at<L>(kSlotBins<L>[4 * j]), _mm512_castps512_ps128(pairs));
            _mm_storeu_ps(sinkA.template at<L>(kSlotBins<L>[4 * j + 1]),
                          _mm512_extractf32x4_ps(pairs, 1));
            _mm_storeu_ps(sinkA.template at<L>(kSlotBins<L>[4 * j + 2]),
                          _mm512_extractf32x4_ps(pairs, 2));
            _mm_storeu_ps(sinkA.template at<L>(kSlotBins<L>[4 * j + 3]),
                          _mm512_extractf32x4_ps(pairs, 3));
        });
}

template <int L, class Source>
[[gnu::always_inline]] inline void inverseNeighbourPair512(float* xa, float* xb,
                                                           Source sourceA) noexcept {
    inverseRegs<Lanes512, L>(
        [&](int j) __attribute__((always_inline)) {
            const __m256 lo =
                _mm256_set_m128(loadPair<L>(sourceA, 4 * j + 1), loadPair<L>(sourceA, 4 * j));
            const __m256 hi =
                _mm256_set_m128(loadPair<L>(sourceA, 4 * j + 3), loadPair<L>(sourceA, 4 * j + 2));
            // (A0 B0 | A1 B1 | A2 B2 | A3 B3) -> (A0 A1 A2 A3 | B0 B1 B2 B3)
            return _mm512_permutexvar_ps(
                _mm512_setr_epi32(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15),
                join(lo, hi));
        },
        [&](int j, __m512 v) __attribute__((always_inline)) {
            _mm256_storeu_ps(xa + 8 * j, _mm512_castps512_ps256(v));
            _mm256_storeu_ps(xb + 8 * j, upper(v));
        });
}
#endif

}  // namespace avx
}  // namespace
}  // namespace stemora::fft
