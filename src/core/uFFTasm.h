#pragma once

#include <complex>
#include <cstdint>

namespace stemora {

// In-place complex FFT of N = 2, 4, 8, ..., 65536 float32 complex values (real part first).
//
// Forward (Inverse false): X[k] = sum_n x[n] * exp(+2*pi*i*n*k/N), unnormalised; note the positive
// exponent. Inverse (Inverse true): x[n] = sum_k X[k] * exp(-2*pi*i*n*k/N), multiplied by 1/N
// first when Scale is set; Scale is never read by the forward transform. Forward then scaled
// inverse returns the input within float32 rounding; unscaled, it returns N times the input.
//
// Order: the kernels are a conjugate-pair split-radix recursion whose forward output is in a
// scrambled order (not plain bit reversal: for N = 8 the slots hold bins 0, 4, 2, 6, 1, 5, 7, 3).
// Reorder true: the forward result is in natural order and the inverse takes natural-order input.
// Reorder false: the forward result stays scrambled and the inverse expects scrambled input,
// which saves the permutation when the caller only multiplies spectra point by point.
//
// Scratch: reordering goes through a scratch buffer of N values. The engine owns one of 65536
// values, built with its tables before the first transform and released at exit. A non-null Work
// (at least N values, not overlapping Data) becomes the engine's current scratch from that call
// on, so later calls that pass null use it too and it must then hold their N values as well; the
// caller keeps it alive for as long as the engine may use it. Work is ignored when Reorder is
// false.
//
// Threads: the tables are read-only, but the scratch is shared, so calls that reorder through the
// same scratch must not run at the same time. Calls without Reorder may run concurrently on
// different data.
//
// Any other N (0, 1, negative, not a power of two, above 65536) returns at once and leaves Data
// untouched. Nothing is allocated and no sine or cosine is computed per call.
void ComplexFFT(std::complex<float>* Data, int32_t N, bool Inverse, bool Scale, bool Reorder,
                std::complex<float>* Work = nullptr);

}  // namespace stemora
