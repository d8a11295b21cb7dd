#pragma once
// An independent look at a decimated block: the direct DFT of its oldest half under the
// periodic 2048-point Blackman window, zero-padded to 4096 points as the display does. Slow
// and plain on purpose, so that it also reaches bins outside the display's search band.

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace stemora::test {

inline double WindowedMagnitude(const float* block, int bin) {
    std::complex<double> sum = 0.0;
    for (int n = 0; n < 2048; ++n) {
        const double w = 0.42 - 0.5 * std::cos(2.0 * std::numbers::pi * n / 2048.0) +
                         0.08 * std::cos(4.0 * std::numbers::pi * n / 2048.0);
        sum += static_cast<double>(block[n]) * w *
               std::polar(1.0, -2.0 * std::numbers::pi * bin * n / 4096.0);
    }
    return std::abs(sum);
}

struct BlockPeak {
    int Bin = 0;
    double Magnitude = 0.0;
    // Strongest bin outside the main lobe (the window spans six bins to each side).
    double RunnerUp = 0.0;
};

// Strongest bin among from..to (inclusive).
inline BlockPeak PeakOf(const float* block, int from, int to) {
    BlockPeak peak;
    peak.Bin = from;
    peak.Magnitude = -1.0;
    for (int k = from; k <= to; ++k) {
        const double magnitude = WindowedMagnitude(block, k);
        if (magnitude > peak.Magnitude) {
            peak.Bin = k;
            peak.Magnitude = magnitude;
        }
    }
    for (int k = from; k <= to; ++k) {
        if (std::abs(k - peak.Bin) > 8) {
            peak.RunnerUp = std::max(peak.RunnerUp, WindowedMagnitude(block, k));
        }
    }
    return peak;
}

}  // namespace stemora::test
