#include "core/SpectrumAnalysis.h"

#include "core/ExtendedRounding.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <numbers>

#include "core/VectorClones.h"
#include "core/uFFTasm.h"
#include "core/uGamma.h"

namespace stemora {

namespace {

constexpr std::string_view kCentreCaptionPrefix = "Отклонение от центральной частоты:    ";
constexpr std::string_view kCentreCaptionSeparator = "    ";
constexpr std::string_view kAmpCaptionPrefix = "Дельта:   ";
constexpr int32_t kCentreBinIndex = 1024;

void appendInt(std::string& text, int32_t value) {
    char digits[16];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;  // 16 characters always hold an int32
    text.append(digits, end);
}

// Forms frame[2i] := float(block[i] * window[i]) through a double product, frame[2i + 1] := 0,
// and reports whether any double product may round to float32 differently from the product
// formed in extended precision.
STEMORA_VECTOR_CLONES bool packThroughDouble(const float* __restrict block,
                                             const double* __restrict window,
                                             float* __restrict frame) noexcept {
    uint64_t recheck = 0;
    for (int32_t i = 0; i < kFrameLength; ++i) {
        const double p = static_cast<double>(block[i]) * window[i];
        recheck |= NeedsExtendedStepBits(std::bit_cast<uint64_t>(p));
        frame[2 * i] = static_cast<float>(p);
        frame[2 * i + 1] = 0.0f;
    }
    return recheck != 0;
}

}  // namespace

void BuildWindowTable(WindowTable& table) noexcept {
    constexpr long double twoPi = 2.0L * std::numbers::pi_v<long double>;
    constexpr long double fourPi = 4.0L * std::numbers::pi_v<long double>;
    for (int32_t i = 0; i < kWindowedLength; ++i) {
        // The angle is formed as i * 2pi, then divided, as the table has always been built.
        const long double a = static_cast<long double>(i) * twoPi / kWindowedLength;
        const long double b = static_cast<long double>(i) * fourPi / kWindowedLength;
        // The absolute value turns the tiny negative residue at i = 0 into a positive one.
        table[i] = static_cast<double>(std::fabs(0.42L - 0.5L * std::cos(a) + 0.08L * std::cos(b)));
    }
}

void FormatCentreCaption(int32_t specPeakBin, int32_t specHiPeakBin, std::string& caption) {
    caption.assign(kCentreCaptionPrefix);
    appendInt(caption, specPeakBin - kCentreBinIndex);
    caption.append(kCentreCaptionSeparator);
    appendInt(caption, specHiPeakBin - kCentreBinIndex);
}

void FormatAmpCaption(double ratio, std::string_view decimalSeparator, std::string& caption) {
    // Fixed notation of the largest double needs 309 digits, two decimals and a sign.
    char digits[320];
    const auto [end, ec] =
        std::to_chars(digits, digits + sizeof digits, ratio, std::chars_format::fixed, 2);
    (void)ec;
    caption.assign(kAmpCaptionPrefix);
    for (const char* p = digits; p != end; ++p) {
        if (*p == '.') {
            caption.append(decimalSeparator);
        } else {
            caption.push_back(*p);
        }
    }
}

SpectrumAnalyser::SpectrumAnalyser()
    : window_(std::make_unique<WindowTable>()),
      specFrame_(std::make_unique<SpectrumFrame[]>(kFrameLength)),
      specHiFrame_(std::make_unique<SpectrumFrame[]>(kFrameLength)),
      specMagnitudes_(std::make_unique<double[]>(kSearchBinCount)),
      specHiMagnitudes_(std::make_unique<double[]>(kSearchBinCount)),
      specHiPointValues_(std::make_unique<double[]>(kSearchBinCount)) {
    window_->fill(0.0);
    // Room for the longest captions, so that later ticks do not allocate.
    result_.CentreCaption.reserve(kCentreCaptionPrefix.size() + kCentreCaptionSeparator.size() +
                                  24);
    result_.AmpCaption.reserve(kAmpCaptionPrefix.size() + 64);
}

void SpectrumAnalyser::BuildWindowTable() noexcept {
    stemora::BuildWindowTable(*window_);
}

void PackFrame(const float* block, const WindowTable& table, SpectrumFrame* output) noexcept {
    const double* const window = table.data();
    float* const frame = reinterpret_cast<float*>(output);
    if (!packThroughDouble(block, window, frame)) {
        return;
    }
    // Rare: form the products that may round differently again, in extended precision.
    for (int32_t i = 0; i < kFrameLength; ++i) {
        const long double p = static_cast<long double>(block[i]) * window[i];
        frame[2 * i] = static_cast<float>(p);
    }
}

void SpectrumAnalyser::PackFrames(const float* specBlock, const float* specHiBlock) noexcept {
    PackFrame(specBlock, *window_, specFrame_.get());
    PackFrame(specHiBlock, *window_, specHiFrame_.get());
}

const SpectrumResult& SpectrumAnalyser::AnalyseSpectra(std::string_view decimalSeparator) {
    SpectrumFrame* const spec = specFrame_.get();
    SpectrumFrame* const specHi = specHiFrame_.get();
    ComplexFFT(spec, kFrameLength, false, true, true);
    ComplexFFT(specHi, kFrameLength, false, true, true);

    double* const specMagnitudes = specMagnitudes_.get();
    double* const specHiMagnitudes = specHiMagnitudes_.get();
    double specPeak = kPeakSearchStart;
    double specHiPeak = kPeakSearchStart;
    int32_t specPeakBin = 0;
    int32_t specHiPeakBin = 0;
    for (int32_t k = kFirstSearchBin; k <= kLastSearchBin; ++k) {
        const long double sr = spec[k].real();
        const long double si = spec[k].imag();
        const long double hr = specHi[k].real();
        const long double hi = specHi[k].imag();
        const double specMagnitude = static_cast<double>(std::sqrt(sr * sr + si * si));
        const double specHiMagnitude = static_cast<double>(std::sqrt(hr * hr + hi * hi));
        specMagnitudes[k - kFirstSearchBin] = specMagnitude;
        specHiMagnitudes[k - kFirstSearchBin] = specHiMagnitude;
        // Strictly greater: on equal magnitudes the lower bin stays the peak.
        if (specMagnitude > specPeak) {
            specPeak = specMagnitude;
            specPeakBin = k;
        }
        if (specHiMagnitude > specHiPeak) {
            specHiPeak = specHiMagnitude;
            specHiPeakBin = k;
        }
    }

    SpectrumResult& r = result_;
    r.SpecPeakBin = specPeakBin;
    r.SpecHiPeakBin = specHiPeakBin;
    r.SpecPeak = specPeak;
    r.SpecHiPeak = specHiPeak;
    // Both peaks start at 1e-12, so the divisor is never smaller than that.
    r.Ratio = static_cast<double>(static_cast<long double>(specPeak) / specHiPeak);
    FormatCentreCaption(specPeakBin, specHiPeakBin, r.CentreCaption);
    FormatAmpCaption(r.Ratio, decimalSeparator, r.AmpCaption);

    r.SpecPlotted = specPeak > kPlotThreshold;
    r.SpecHiPlotted = specHiPeak > kPlotThreshold;

    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    GammaRGB(static_cast<float>(static_cast<long double>(specPeak) * kColourLevelFactor), red,
             green, blue);
    r.SpecColour = PackColour(red, green, blue);
    GammaRGB(static_cast<float>(static_cast<long double>(specHiPeak) * kColourLevelFactor), red,
             green, blue);
    r.SpecHiColour = PackColour(red, green, blue);

    r.SpecPoints = {};
    r.SpecHiPoints = {};
    if (r.SpecPlotted) {
        r.SpecPoints = {specMagnitudes, static_cast<std::size_t>(kSearchBinCount)};
    }
    if (r.SpecHiPlotted) {
        double* const values = specHiPointValues_.get();
        for (int32_t i = 0; i < kSearchBinCount; ++i) {
            values[i] = -specHiMagnitudes[i];
        }
        r.SpecHiPoints = {values, static_cast<std::size_t>(kSearchBinCount)};
    }
    return r;
}

}  // namespace stemora
