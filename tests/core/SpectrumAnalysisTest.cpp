#include "core/SpectrumAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <numbers>
#include <random>
#include <vector>

#include "core/SampleBuffers.h"
#include "core/TuningState.h"
#include "core/uGamma.h"

// Counts allocations made through operator new, to show that a display tick makes none.
// malloc and free are called through pointers, so that the compiler does not pair them with
// the new and delete expressions it inlines these replacements into.
namespace {
std::size_t allocationCount = 0;
std::unique_ptr<int> probe;
void* (*volatile allocate)(std::size_t) = std::malloc;
void (*volatile release)(void*) = std::free;
}  // namespace

void* operator new(std::size_t size) {
    ++allocationCount;
    if (void* p = allocate(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
// The library's nothrow form (std::stable_sort's buffer) must come from the same heap as the
// replaced delete that frees it.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++allocationCount;
    return allocate(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}

namespace stemora {
namespace {

const std::string kSilentCentreCaption = "Отклонение от центральной частоты:    -1024    -1024";

uint32_t colourAt(double peak) {
    uint8_t r = 0, g = 0, b = 0;
    GammaRGB(static_cast<float>(peak * 0.001), r, g, b);
    return PackColour(r, g, b);
}

class Analyser : public ::testing::Test {
  protected:
    Analyser() : analyser_(std::make_unique<SpectrumAnalyser>()) { analyser_->BuildWindowTable(); }

    const SpectrumResult& analyse(const std::vector<float>& spec, const std::vector<float>& specHi,
                                  std::string_view separator = ".") {
        analyser_->PackFrames(spec.data(), specHi.data());
        return analyser_->AnalyseSpectra(separator);
    }

    // Block with one sample at the window's centre (weight exactly 1): every bin of its
    // spectrum has exactly the magnitude |value|.
    static std::vector<float> impulse(float value) {
        std::vector<float> block(kFrameLength, 0.0f);
        block[1024] = value;
        return block;
    }

    std::unique_ptr<SpectrumAnalyser> analyser_;
};

TEST_F(Analyser, WindowTableIsAPeriodicBlackmanOverTheOldestHalf) {
    const WindowTable& w = analyser_->Window();
    EXPECT_GE(w[0], 0.0);
    EXPECT_LT(w[0], 1e-15);
    EXPECT_EQ(w[1024], 1.0);
    EXPECT_NEAR(w[512], 0.34, 1e-15);
    // Evaluated in extended precision: the cancellation near the edges stays below 1e-21.
    constexpr long double pi = std::numbers::pi_v<long double>;
    EXPECT_NEAR(w[1], 0.42L - 0.5L * std::cos(2 * pi / 2048) + 0.08L * std::cos(4 * pi / 2048),
                1e-21);
    for (int i = 1; i < kWindowedLength; ++i) {
        ASSERT_NEAR(w[i], w[kWindowedLength - i], 1e-15) << i;
        ASSERT_GT(w[i], 0.0) << i;
    }
    for (int i = kWindowedLength; i < kFrameLength; ++i) {
        ASSERT_EQ(w[i], 0.0) << i;
    }
}

// Each product is rounded once to float32 from extended precision, also where a product
// rounded to double first would land exactly halfway between two floats and round the other way.
TEST(PackFrame, RoundsEachProductOnceFromExtendedPrecision) {
    auto window = std::make_unique<WindowTable>();
    std::vector<float> block(kFrameLength);
    std::mt19937 random(3);
    std::uniform_real_distribution<double> weight(0.0, 1.0);
    std::uniform_real_distribution<float> sample(-40000.0f, 40000.0f);
    for (int i = 0; i < kFrameLength; ++i) {
        (*window)[i] = weight(random);
        block[i] = sample(random);
    }
    block[1] = 1e-30f;  // products below the normal float range
    (*window)[1] = 1e-12;
    block[2] = std::numeric_limits<float>::denorm_min();
    // Weights that make the double product land exactly on a float midpoint while the exact
    // product lies just above it: halves to even would round down, the exact product rounds up.
    int planted = 0;
    for (int i = 8; i < kFrameLength && planted < 64; ++i) {
        const float f = static_cast<float>(3 + 2 * (i % 50));
        const double midpoint = 1.0 + std::ldexp(1.0, -24) + std::ldexp(1.0, -22) * (i % 97);
        const double w = midpoint / f;
        const double viaDouble = static_cast<double>(f) * w;
        const float single = static_cast<float>(static_cast<long double>(f) * w);
        if (viaDouble == midpoint && static_cast<float>(viaDouble) != single) {
            block[i] = f;
            (*window)[i] = w;
            ++planted;
        }
    }
    ASSERT_GT(planted, 0);

    std::vector<SpectrumFrame> frame(kFrameLength, SpectrumFrame(7.0f, 7.0f));
    PackFrame(block.data(), *window, frame.data());
    int differences = 0;
    for (int i = 0; i < kFrameLength; ++i) {
        const float expected =
            static_cast<float>(static_cast<long double>(block[i]) * (*window)[i]);
        ASSERT_EQ(frame[i].real(), expected) << i;
        ASSERT_EQ(frame[i].imag(), 0.0f) << i;
        differences += expected != static_cast<float>(static_cast<double>(block[i]) * (*window)[i]);
    }
    EXPECT_GE(differences, planted);
}

TEST_F(Analyser, SilenceReportsTheStartValuesAndPlotsNothing) {
    const std::vector<float> zeros(kFrameLength, 0.0f);
    const SpectrumResult& r = analyse(zeros, zeros);
    EXPECT_EQ(r.SpecPeakBin, 0);
    EXPECT_EQ(r.SpecHiPeakBin, 0);
    EXPECT_EQ(r.SpecPeak, 1e-12);
    EXPECT_EQ(r.SpecHiPeak, 1e-12);
    EXPECT_EQ(r.Ratio, 1.0);
    EXPECT_EQ(r.CentreCaption, kSilentCentreCaption);
    EXPECT_EQ(r.AmpCaption, "Дельта:   1.00");
    EXPECT_FALSE(r.SpecPlotted);
    EXPECT_FALSE(r.SpecHiPlotted);
    EXPECT_TRUE(r.SpecPoints.empty());
    EXPECT_TRUE(r.SpecHiPoints.empty());
    EXPECT_EQ(r.SpecColour, colourAt(1e-12));
    EXPECT_EQ(r.SpecHiColour, colourAt(1e-12));
    EXPECT_EQ(r.SpecColour, 0u);

    EXPECT_EQ(analyser_->AnalyseSpectra(",").AmpCaption, "Дельта:   1,00");
}

TEST_F(Analyser, EqualGreatestMagnitudesKeepTheLowerBin) {
    const SpectrumResult& r = analyse(impulse(100000.0f), impulse(-70000.0f));
    for (double m : analyser_->SpecMagnitudes()) {
        ASSERT_EQ(m, 100000.0);
    }
    EXPECT_EQ(r.SpecPeakBin, kFirstSearchBin);
    EXPECT_EQ(r.SpecHiPeakBin, kFirstSearchBin);
    EXPECT_EQ(r.CentreCaption, "Отклонение от центральной частоты:    -449    -449");
    EXPECT_EQ(r.SpecPeak, 100000.0);
    EXPECT_EQ(r.SpecHiPeak, 70000.0);
    EXPECT_EQ(r.AmpCaption, "Дельта:   1.43");
}

TEST_F(Analyser, PlotsOnlyAboveExactly65535) {
    const float above = std::nextafter(65535.0f, 1e9f);
    const SpectrumResult& r = analyse(impulse(65535.0f), impulse(above));
    EXPECT_EQ(r.SpecPeak, 65535.0);
    EXPECT_FALSE(r.SpecPlotted);
    EXPECT_TRUE(r.SpecPoints.empty());
    EXPECT_TRUE(r.SpecHiPlotted);
    ASSERT_EQ(r.SpecHiPoints.size(), static_cast<size_t>(kSearchBinCount));
    EXPECT_EQ(r.SpecHiPoints.front(), -static_cast<double>(above));
    // Level 65.535 lies in the first segment: blue 1.
    EXPECT_EQ(r.SpecColour, 65536u);
}

TEST_F(Analyser, NewestHalfOfTheBlocksChangesNothing) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> value(-30000.0f, 30000.0f);
    std::vector<float> spec(kFrameLength), specHi(kFrameLength);
    for (int i = 0; i < kFrameLength; ++i) {
        spec[i] = value(random);
        specHi[i] = value(random);
    }
    const SpectrumResult first = analyse(spec, specHi);
    const std::vector<double> specMagnitudes(analyser_->SpecMagnitudes().begin(),
                                             analyser_->SpecMagnitudes().end());
    const std::vector<double> specHiMagnitudes(analyser_->SpecHiMagnitudes().begin(),
                                               analyser_->SpecHiMagnitudes().end());
    for (int i = kWindowedLength; i < kFrameLength; ++i) {
        spec[i] = 1e6f * static_cast<float>(i % 7);
        specHi[i] = -1e6f;
    }
    const SpectrumResult& second = analyse(spec, specHi);
    EXPECT_EQ(second.SpecPeakBin, first.SpecPeakBin);
    EXPECT_EQ(second.SpecHiPeakBin, first.SpecHiPeakBin);
    EXPECT_EQ(second.SpecPeak, first.SpecPeak);
    EXPECT_EQ(second.SpecHiPeak, first.SpecHiPeak);
    EXPECT_EQ(second.CentreCaption, first.CentreCaption);
    EXPECT_EQ(second.AmpCaption, first.AmpCaption);
    EXPECT_EQ(second.SpecColour, first.SpecColour);
    for (int i = 0; i < kSearchBinCount; ++i) {
        ASSERT_EQ(analyser_->SpecMagnitudes()[i], specMagnitudes[i]) << i;
        ASSERT_EQ(analyser_->SpecHiMagnitudes()[i], specHiMagnitudes[i]) << i;
    }
}

// The frames are transformed in place; packing again must restore plain real input, so a
// second tick on the same blocks repeats the first exactly.
TEST_F(Analyser, RepeatedTicksOnTheSameBlocksAgree) {
    std::vector<float> spec(kFrameLength), specHi(kFrameLength);
    for (int i = 0; i < kFrameLength; ++i) {
        spec[i] = 5000.0f * std::sin(0.7f * static_cast<float>(i));
        specHi[i] = 3000.0f * std::cos(1.9f * static_cast<float>(i));
    }
    const SpectrumResult first = analyse(spec, specHi);
    const std::vector<double> magnitudes(analyser_->SpecHiMagnitudes().begin(),
                                         analyser_->SpecHiMagnitudes().end());
    const SpectrumResult& second = analyse(spec, specHi);
    EXPECT_EQ(second.SpecPeak, first.SpecPeak);
    EXPECT_EQ(second.SpecHiPeak, first.SpecHiPeak);
    EXPECT_EQ(second.SpecPeakBin, first.SpecPeakBin);
    EXPECT_EQ(second.SpecHiPeakBin, first.SpecHiPeakBin);
    for (int i = 0; i < kSearchBinCount; ++i) {
        ASSERT_EQ(analyser_->SpecHiMagnitudes()[i], magnitudes[i]) << i;
    }
}

// The real signal path: a tone captured at 48000 Hz through both decimators at the A4 rates.
class AnalyserOnDecimatedTone : public Analyser {
  protected:
    // Feeds `seconds` of tone in 1 ms passes, as the capture thread does.
    void feedTone(double amplitude, double frequency, double harmonicAmplitude, double seconds) {
        const double rate = DecimationRateFor(kDefaultNoteShift);
        buffers_->ResetDecimators();
        constexpr int32_t captureRate = 48000;
        constexpr int32_t pass = captureRate / 1000;
        const int64_t total = static_cast<int64_t>(seconds * captureRate);
        for (int64_t start = 0; start < total; start += pass) {
            float* samples = buffers_->SampleBuffer();
            for (int32_t j = 0; j < pass; ++j) {
                const double t = static_cast<double>(start + j) / captureRate;
                samples[j] = static_cast<float>(
                    amplitude * std::sin(2 * std::numbers::pi * frequency * t) +
                    harmonicAmplitude * std::sin(4 * std::numbers::pi * frequency * t));
            }
            buffers_->FeedPass(captureRate, pass, rate);
        }
    }

    const SpectrumResult& tick(std::string_view separator = ".") {
        analyser_->PackFrames(buffers_->Spec.Block(), buffers_->SpecHi.Block());
        return analyser_->AnalyseSpectra(separator);
    }

    std::unique_ptr<SampleBuffers> buffers_ = std::make_unique<SampleBuffers>();
};

TEST_F(AnalyserOnDecimatedTone, CentreToneIsAtBin1024AndPlotted) {
    ASSERT_EQ(DecimationRateFor(kDefaultNoteShift), 1760.0);
    feedTone(10000.0, 440.0, 0.0, 3.0);
    const SpectrumResult& r = tick();
    EXPECT_EQ(r.SpecPeakBin, 1024);
    EXPECT_NEAR(r.SpecPeak, 98000.0, 1000.0);
    EXPECT_TRUE(r.SpecPlotted);
    ASSERT_EQ(r.SpecPoints.size(), static_cast<size_t>(kSearchBinCount));
    EXPECT_EQ(r.SpecPoints[1024 - kFirstSearchBin], r.SpecPeak);
    EXPECT_EQ(SpectrumResult::PointX(1024 - kFirstSearchBin), 1024.0);
    EXPECT_EQ(SpectrumResult::PointX(kSearchBinCount - 1), 1821.0);
    // Neighbours fall off on both sides of the peak.
    EXPECT_LT(r.SpecPoints[1023 - kFirstSearchBin], r.SpecPeak);
    EXPECT_LT(r.SpecPoints[1025 - kFirstSearchBin], r.SpecPeak);
    EXPECT_LT(r.SpecPoints[1000 - kFirstSearchBin], 0.01 * r.SpecPeak);

    // The tone sits at bin 512 of the octave spectrum, outside the search: only leftovers.
    EXPECT_FALSE(r.SpecHiPlotted);
    EXPECT_TRUE(r.SpecHiPoints.empty());
    EXPECT_LT(r.SpecHiPeak, 0.01 * r.SpecPeak);
    EXPECT_GT(r.Ratio, 100.0);

    EXPECT_EQ(r.CentreCaption.rfind("Отклонение от центральной частоты:    0    ", 0), 0u);
    EXPECT_EQ(r.SpecColour, colourAt(r.SpecPeak));
    EXPECT_EQ(r.SpecHiColour, colourAt(r.SpecHiPeak));
    // Level about 98: blue byte 2.
    EXPECT_EQ(r.SpecColour, 2u * 65536u);
}

TEST_F(AnalyserOnDecimatedTone, SecondHarmonicPeaksAtBin1024OfTheOctaveSpectrum) {
    feedTone(10000.0, 440.0, 8000.0, 3.0);
    const SpectrumResult& r = tick(",");
    EXPECT_EQ(r.SpecPeakBin, 1024);
    EXPECT_EQ(r.SpecHiPeakBin, 1024);
    EXPECT_EQ(r.CentreCaption, "Отклонение от центральной частоты:    0    0");
    EXPECT_TRUE(r.SpecPlotted);
    EXPECT_TRUE(r.SpecHiPlotted);
    // Both decimators average over the same fraction of a period, so the ratio follows the
    // amplitudes.
    EXPECT_NEAR(r.Ratio, 1.25, 0.03);
    EXPECT_EQ(r.AmpCaption.rfind("Дельта:   ", 0), 0u);
    EXPECT_NE(r.AmpCaption.find(','), std::string::npos);
    ASSERT_EQ(r.SpecHiPoints.size(), static_cast<size_t>(kSearchBinCount));
    for (int i = 0; i < kSearchBinCount; ++i) {
        ASSERT_EQ(r.SpecHiPoints[i], -analyser_->SpecHiMagnitudes()[i]) << i;
    }
    EXPECT_EQ(r.SpecHiPoints[1024 - kFirstSearchBin], -r.SpecHiPeak);
}

TEST_F(AnalyserOnDecimatedTone, DetunedToneShowsItsDeviation) {
    // Two bins above the centre: 440 * 1026 / 1024 Hz.
    feedTone(10000.0, 440.0 * 1026.0 / 1024.0, 0.0, 3.0);
    EXPECT_EQ(tick().SpecPeakBin, 1026);
    feedTone(10000.0, 440.0 * 1019.0 / 1024.0, 0.0, 3.0);
    EXPECT_EQ(tick().SpecPeakBin, 1019);
}

TEST_F(AnalyserOnDecimatedTone, TicksAllocateNothing) {
    feedTone(10000.0, 440.0, 8000.0, 3.0);
    tick(",");  // the captions reach their size once
    std::size_t before = allocationCount;
    probe = std::make_unique<int>(1);  // the counter does see allocations
    ASSERT_EQ(allocationCount, before + 1);
    before = allocationCount;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(tick(",").SpecPeakBin, 1024);
    }
    EXPECT_EQ(allocationCount, before);
}

TEST(SpectrumCaptions, AmpCaptionHasTwoDecimalsAndTheGivenSeparator) {
    std::string caption;
    FormatAmpCaption(0.004, ".", caption);
    EXPECT_EQ(caption, "Дельта:   0.00");
    FormatAmpCaption(2.5, ",", caption);
    EXPECT_EQ(caption, "Дельта:   2,50");
    FormatAmpCaption(1234567.891, "٫", caption);
    EXPECT_EQ(caption, "Дельта:   1234567٫89");
    FormatAmpCaption(1e20, ".", caption);
    EXPECT_EQ(caption, "Дельта:   100000000000000000000.00");
    FormatAmpCaption(9.999, ".", caption);
    EXPECT_EQ(caption, "Дельта:   10.00");
    FormatAmpCaption(std::numeric_limits<double>::max(), ".", caption);
    EXPECT_EQ(caption.size(), std::string("Дельта:   ").size() + 309 + 3);
    FormatAmpCaption(std::numeric_limits<double>::infinity(), ".", caption);
    EXPECT_EQ(caption, "Дельта:   inf");
}

TEST(SpectrumCaptions, CentreCaptionShowsSignedDeviations) {
    std::string caption;
    FormatCentreCaption(1024, 1821, caption);
    EXPECT_EQ(caption, "Отклонение от центральной частоты:    0    797");
    FormatCentreCaption(575, 1025, caption);
    EXPECT_EQ(caption, "Отклонение от центральной частоты:    -449    1");
}

}  // namespace
}  // namespace stemora
