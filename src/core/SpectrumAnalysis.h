#pragma once

// Spectrum analysis of one display tick: the two weighted sample blocks (Spec around the
// centre note, SpecHi around its octave) are windowed into two frames, transformed, searched
// for their strongest bin in 575..1821, and turned into the captions, colours and points that
// the main window shows.
//
// Threads: one analyser belongs to the window thread. PackFrames() reads the blocks and must
// run while the caller holds CaptureLock; AnalyseSpectra() touches only the analyser's own
// frames and runs after the lock is released. AnalyseSpectra() uses the FFT engine's shared
// scratch, so no other reordering transform may run at the same time.

#include <array>
#include <complex>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace stemora {

// Points of the transform, and samples of each block.
inline constexpr int32_t kFrameLength = 4096;
// Entries of the window table that carry the Blackman window; the rest stay 0, so the newest
// half of each block never reaches the spectra.
inline constexpr int32_t kWindowedLength = 2048;
// Bins searched for the peak and plotted, inclusive.
inline constexpr int32_t kFirstSearchBin = 575;
inline constexpr int32_t kLastSearchBin = 1821;
inline constexpr int32_t kSearchBinCount = kLastSearchBin - kFirstSearchBin + 1;  // 1247
// Peak magnitude at the start of the search: a bin must exceed it to count.
inline constexpr double kPeakSearchStart = 1e-12;
// A spectrum is plotted only when its peak magnitude is strictly above this.
inline constexpr double kPlotThreshold = 65535.0;
// Peak magnitude to colour level.
inline constexpr double kColourLevelFactor = 0.001;

// Interleaved complex values (real, imaginary), the in-place input and output of ComplexFFT.
using SpectrumFrame = std::complex<float>;
using WindowTable = std::array<double, kFrameLength>;

// Fills table[0..2047] with a periodic 2048-point Blackman window,
// |0.42 - 0.5 cos(2 pi i / 2048) + 0.08 cos(4 pi i / 2048)|, in extended precision stored as
// double. Entries 2048..4095 are not written (they are meant to stay 0).
void BuildWindowTable(WindowTable& table) noexcept;

// frame[i] := (block[i] * window[i], 0) for i = 0..4095, the product formed in extended
// precision and rounded once to float32. block and frame hold kFrameLength values. No allocation.
void PackFrame(const float* block, const WindowTable& window, SpectrumFrame* frame) noexcept;

// What one tick shows, applied by the window to its labels and series. Valid until the next
// AnalyseSpectra() of the same analyser (the spans point into the analyser's fixed arrays).
struct SpectrumResult {
    // Strongest bin of each spectrum (0 when no bin beat kPeakSearchStart) and its magnitude.
    int32_t SpecPeakBin = 0;
    int32_t SpecHiPeakBin = 0;
    double SpecPeak = kPeakSearchStart;
    double SpecHiPeak = kPeakSearchStart;
    // SpecPeak / SpecHiPeak.
    double Ratio = 1.0;
    // LabelCenterFFT: "Отклонение от центральной частоты:    <Spec dev>    <SpecHi dev>",
    // deviations in bins from 1024. LabelAmp: "Дельта:   <ratio, two decimals>". UTF-8.
    std::string CentreCaption;
    std::string AmpCaption;
    // Packed colours (R + 256 G + 65536 B) of the two series, set on every tick.
    uint32_t SpecColour = 0;
    uint32_t SpecHiColour = 0;
    // Whether each spectrum is drawn this tick (peak strictly above kPlotThreshold).
    bool SpecPlotted = false;
    bool SpecHiPlotted = false;
    // Points to add, in order: point i is (x = kFirstSearchBin + i, y = values[i]). SpecHi
    // values are negated magnitudes so that spectrum hangs below its zero line. Empty when
    // the spectrum is not plotted.
    std::span<const double> SpecPoints;
    std::span<const double> SpecHiPoints;

    static constexpr double PointX(std::size_t i) noexcept {
        return static_cast<double>(kFirstSearchBin) + static_cast<double>(i);
    }
};

// Owns the window table, the two spectrum frames, the bin magnitudes and the last result;
// all storage is allocated once in the constructor. Not thread-safe (see the file comment).
class SpectrumAnalyser {
  public:
    SpectrumAnalyser();
    SpectrumAnalyser(const SpectrumAnalyser&) = delete;
    SpectrumAnalyser& operator=(const SpectrumAnalyser&) = delete;

    // Fills the window table; called once before the first PackFrames. Until then the table is
    // all zeros and every spectrum is silent.
    void BuildWindowTable() noexcept;
    const WindowTable& Window() const noexcept { return *window_; }

    // Spec frame[i] := (specBlock[i] * window[i], 0), the same for SpecHi, i = 0..4095. Both
    // blocks hold kFrameLength floats. The caller holds CaptureLock. No allocation.
    void PackFrames(const float* specBlock, const float* specHiBlock) noexcept;

    // Transforms both frames in place and derives the result. Allocates nothing except, when
    // their capacity does not yet suffice, the two caption strings. decimalSeparator (UTF-8)
    // replaces the point of the ratio.
    const SpectrumResult& AnalyseSpectra(std::string_view decimalSeparator);

    const SpectrumResult& Result() const noexcept { return result_; }
    // The frames (kFrameLength values each): windowed input after PackFrames, natural-order
    // spectrum after AnalyseSpectra.
    const SpectrumFrame* SpecFrame() const noexcept { return specFrame_.get(); }
    const SpectrumFrame* SpecHiFrame() const noexcept { return specHiFrame_.get(); }
    // Magnitudes of bins kFirstSearchBin..LastSearchBin of the last analysis (kSearchBinCount
    // each).
    std::span<const double> SpecMagnitudes() const noexcept {
        return {specMagnitudes_.get(), kSearchBinCount};
    }
    std::span<const double> SpecHiMagnitudes() const noexcept {
        return {specHiMagnitudes_.get(), kSearchBinCount};
    }

  private:
    std::unique_ptr<WindowTable> window_;
    std::unique_ptr<SpectrumFrame[]> specFrame_;
    std::unique_ptr<SpectrumFrame[]> specHiFrame_;
    std::unique_ptr<double[]> specMagnitudes_;
    std::unique_ptr<double[]> specHiMagnitudes_;
    // Negated SpecHi magnitudes, the y values of the hanging spectrum.
    std::unique_ptr<double[]> specHiPointValues_;
    SpectrumResult result_;
};

// "Отклонение от центральной частоты:    <specPeakBin - 1024>    <specHiPeakBin - 1024>" into
// caption (its capacity is reused).
void FormatCentreCaption(int32_t specPeakBin, int32_t specHiPeakBin, std::string& caption);
// "Дельта:   " and the ratio as "%1.2f" in the C locale with the point replaced by
// decimalSeparator, into caption (its capacity is reused).
void FormatAmpCaption(double ratio, std::string_view decimalSeparator, std::string& caption);

}  // namespace stemora
