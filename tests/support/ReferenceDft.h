#pragma once
// Extended-precision references for the FFT engine's tests and its accuracy benchmark.

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace stemora::test {

using LComplex = std::complex<long double>;

inline constexpr long double kPi = 3.141592653589793238462643383279502884L;

// n complex values with parts uniform in [-1, 1), reproducible from the seed.
inline std::vector<std::complex<float>> RandomSignal(std::int32_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<std::complex<float>> x(static_cast<std::size_t>(n));
    for (auto& v : x) {
        v = {dist(gen), dist(gen)};
    }
    return x;
}

// e^(sign * 2 pi i j / n) for j = 0..n-1.
inline std::vector<LComplex> UnitRoots(std::size_t n, int sign) {
    std::vector<LComplex> roots(n);
    for (std::size_t j = 0; j < n; ++j) {
        const long double t =
            2.0L * kPi * static_cast<long double>(j) / static_cast<long double>(n);
        roots[j] = LComplex(std::cos(t), sign * std::sin(t));
    }
    return roots;
}

// Direct DFT: sign +1 is the engine's forward transform, -1 its inverse (unscaled).
inline std::vector<LComplex> DirectDft(const std::vector<std::complex<float>>& x, int sign) {
    const std::size_t n = x.size();
    const std::vector<LComplex> roots = UnitRoots(n, sign);
    std::vector<LComplex> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        LComplex sum = 0;
        for (std::size_t j = 0; j < n; ++j) {
            sum += LComplex(x[j].real(), x[j].imag()) * roots[(j * k) % n];
        }
        out[k] = sum;
    }
    return out;
}

// In-place radix-2 FFT with the same roots, for sizes where the direct sum is too slow.
inline void ReferenceFft(std::vector<LComplex>& a, int sign) {
    const std::size_t n = a.size();
    const std::vector<LComplex> roots = UnitRoots(n, sign);
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(a[i], a[j]);
        }
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        for (std::size_t i = 0; i < n; i += len) {
            for (std::size_t k = 0; k < len / 2; ++k) {
                const LComplex u = a[i + k];
                const LComplex v = a[i + k + len / 2] * roots[k * (n / len)];
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

// Largest |got - want| relative to the largest |want|.
inline double RelativeError(const std::complex<float>* got, const std::vector<LComplex>& want) {
    long double maxErr = 0;
    long double maxMag = 0;
    for (std::size_t k = 0; k < want.size(); ++k) {
        maxErr = std::max(maxErr, std::abs(LComplex(got[k].real(), got[k].imag()) - want[k]));
        maxMag = std::max(maxMag, std::abs(want[k]));
    }
    return static_cast<double>(maxErr / maxMag);
}

inline double RelativeError(const std::vector<std::complex<float>>& got,
                            const std::vector<LComplex>& want) {
    return RelativeError(got.data(), want);
}

}  // namespace stemora::test
