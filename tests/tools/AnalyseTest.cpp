#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>
#include <sstream>

#include "AnalyseFile.h"
#include "AnalyseTestSupport.h"
#include "core/SampleBuffers.h"
#include "core/SpectrumAnalysis.h"
#include "core/TuningState.h"

namespace stemora {
namespace {

using test::RunAnalyse;
using test::SplitLines;

struct Tick {
    std::string Time;
    int32_t SpecBin, SpecHiBin;
    double SpecPeak, SpecHiPeak, Ratio;
    uint32_t SpecColour, SpecHiColour;
    bool SpecPlotted, SpecHiPlotted;
    bool operator==(const Tick&) const = default;
};

void PrintTo(const Tick& t, std::ostream* os) {
    *os << t.Time << " bins " << t.SpecBin << "/" << t.SpecHiBin << " peaks " << t.SpecPeak << "/"
        << t.SpecHiPeak << " ratio " << t.Ratio << " colours " << t.SpecColour << "/"
        << t.SpecHiColour << " plotted " << t.SpecPlotted << t.SpecHiPlotted;
}

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

template <typename T>
T number(const std::string& text) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    EXPECT_TRUE(ec == std::errc() && end == text.data() + text.size()) << "'" << text << "'";
    return value;
}

std::vector<Tick> parseTsv(const std::string& out) {
    const std::vector<std::string> lines = SplitLines(out);
    EXPECT_FALSE(lines.empty());
    EXPECT_EQ(lines.empty() ? "" : lines[0], AnalyseTsvHeader());
    std::vector<Tick> ticks;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> f = splitTabs(lines[i]);
        EXPECT_EQ(f.size(), 10u) << lines[i];
        if (f.size() != 10u) {
            break;
        }
        ticks.push_back({f[0], number<int32_t>(f[1]), number<int32_t>(f[2]), number<double>(f[3]),
                         number<double>(f[4]), number<double>(f[5]), number<uint32_t>(f[6]),
                         number<uint32_t>(f[7]), f[8] == "1", f[9] == "1"});
    }
    return ticks;
}

// What the tuner would show: the samples fed straight into the decimators, one feed per
// 63 ms of sound (the ring does not depend on how a stretch of sound is split into feeds).
std::vector<Tick> expectedTicks(const std::vector<float>& mono, int32_t rate, int32_t noteShift) {
    auto buffers = std::make_unique<SampleBuffers>();
    auto analyser = std::make_unique<SpectrumAnalyser>();
    analyser->BuildWindowTable();
    buffers->ResetDecimators();
    const double decimation = DecimationRateFor(noteShift);
    std::vector<Tick> ticks;
    int64_t fed = 0;
    for (int64_t k = 1;; ++k) {
        const int64_t end = 63 * k * rate / 1000;
        if (end > static_cast<int64_t>(mono.size())) {
            break;
        }
        const auto n = static_cast<int32_t>(end - fed);
        std::copy(mono.begin() + fed, mono.begin() + end, buffers->SampleBuffer());
        buffers->FeedPass(rate, n, decimation);
        fed = end;
        analyser->PackFrames(buffers->Spec.Block(), buffers->SpecHi.Block());
        const SpectrumResult& r = analyser->AnalyseSpectra(".");
        char time[32];
        std::snprintf(time, sizeof time, "%lld.%03lld", static_cast<long long>(63 * k / 1000),
                      static_cast<long long>(63 * k % 1000));
        ticks.push_back({time, r.SpecPeakBin - 1024, r.SpecHiPeakBin - 1024, r.SpecPeak,
                         r.SpecHiPeak, r.Ratio, r.SpecColour, r.SpecHiColour, r.SpecPlotted,
                         r.SpecHiPlotted});
    }
    return ticks;
}

double toneSample(double amplitude, double frequency, int64_t frame, int32_t rate) {
    return amplitude *
           std::sin(2 * std::numbers::pi * frequency * static_cast<double>(frame) / rate);
}

class AnalyseFiles : public ::testing::Test {
  protected:
    test::TempFolder folder_;
};

TEST_F(AnalyseFiles, StereoSixteenBitToneSumsTheChannels) {
    constexpr int32_t rate = 48000;
    std::vector<int32_t> samples;
    std::vector<float> mono;
    for (int64_t j = 0; j < 3 * rate; ++j) {
        const auto left = static_cast<int32_t>(std::lround(toneSample(5000, 440, j, rate)));
        const auto right = static_cast<int32_t>(std::lround(toneSample(5000, 440, j, rate)));
        samples.push_back(left);
        samples.push_back(right);
        mono.push_back(static_cast<float>(left) + static_cast<float>(right));
    }
    const std::string path = folder_.File("tone16.wav");
    test::WriteIntFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, rate, samples);

    const auto tsv = RunAnalyse({"--tsv", path});
    ASSERT_EQ(tsv.ExitCode, kAnalyseOk) << tsv.Err;
    EXPECT_EQ(tsv.Err, "");
    const std::vector<Tick> ticks = parseTsv(tsv.Out);
    ASSERT_EQ(ticks.size(), 47u);  // 3000 ms / 63 ms
    EXPECT_EQ(ticks.front().Time, "0.063");
    EXPECT_EQ(ticks.back().Time, "2.961");
    EXPECT_EQ(ticks, expectedTicks(mono, rate, 12));
    // Same tone as the capture path's reference case: amplitude 10000 at the centre.
    EXPECT_EQ(ticks.back().SpecBin, 0);
    EXPECT_NEAR(ticks.back().SpecPeak, 98000, 1000);
    EXPECT_TRUE(ticks.back().SpecPlotted);
    EXPECT_FALSE(ticks.back().SpecHiPlotted);
    EXPECT_EQ(ticks.back().SpecColour, 131072u);
    // Before the tone has reached the windowed half of the blocks, the tuner sees silence.
    EXPECT_EQ(ticks.front().SpecBin, -1024);
    EXPECT_EQ(ticks.front().SpecPeak, 1e-12);

    const auto text = RunAnalyse({path});
    ASSERT_EQ(text.ExitCode, kAnalyseOk) << text.Err;
    const std::vector<std::string> lines = SplitLines(text.Out);
    ASSERT_EQ(lines.size(), 47u);
    EXPECT_EQ(lines[0],
              "0.063\tОтклонение от центральной частоты:    -1024    -1024\tДельта:   1.00");
    std::string centre, amp;
    FormatCentreCaption(ticks.back().SpecBin + 1024, ticks.back().SpecHiBin + 1024, centre);
    FormatAmpCaption(ticks.back().Ratio, ".", amp);
    EXPECT_EQ(lines.back(), "2.961\t" + centre + "\t" + amp);
    EXPECT_EQ(centre.rfind("Отклонение от центральной частоты:    0    ", 0), 0u);
}

TEST_F(AnalyseFiles, EightBitMonoToneIsTakenAsBytesMinus127Point5) {
    constexpr int32_t rate = 44100;
    // Three bins above A3.
    const double frequency = 220.0 * 1027.0 / 1024.0;
    std::vector<int32_t> bytes;
    std::vector<float> mono;
    for (int64_t j = 0; j < 3 * rate; ++j) {
        const auto byte =
            static_cast<int32_t>(std::lround(128 + toneSample(100, frequency, j, rate)));
        bytes.push_back(byte);
        mono.push_back(static_cast<float>(byte) - 127.5f);
    }
    const std::string path = folder_.File("tone8.wav");
    test::WriteIntFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, rate, bytes);

    const auto run = RunAnalyse({"--note", "A3", "--tsv", path});
    ASSERT_EQ(run.ExitCode, kAnalyseOk) << run.Err;
    const std::vector<Tick> ticks = parseTsv(run.Out);
    ASSERT_EQ(ticks.size(), 47u);
    EXPECT_EQ(ticks, expectedTicks(mono, rate, 0));
    EXPECT_EQ(ticks.back().SpecBin, 3);
    EXPECT_FALSE(ticks.back().SpecPlotted);  // an 8-bit tone is far below the plot threshold

    // Signed 8-bit storage gives the same samples.
    const std::string aiff = folder_.File("tone8.aiff");
    test::WriteIntFile(aiff, SF_FORMAT_AIFF | SF_FORMAT_PCM_S8, 1, rate, bytes);
    const auto signedRun = RunAnalyse({"--shift=0", "--tsv", aiff});
    ASSERT_EQ(signedRun.ExitCode, kAnalyseOk) << signedRun.Err;
    EXPECT_EQ(parseTsv(signedRun.Out), ticks);
}

TEST_F(AnalyseFiles, TwentyFourBitFlacKeepsItsOwnScale) {
    constexpr int32_t rate = 96000;
    // Four bins below A5.
    const double frequency = 880.0 * 1020.0 / 1024.0;
    std::vector<int32_t> samples;
    std::vector<float> mono;
    for (int64_t j = 0; j < 2 * rate; ++j) {
        const auto value =
            static_cast<int32_t>(std::lround(toneSample(4000000, frequency, j, rate)));
        samples.push_back(value);
        mono.push_back(static_cast<float>(value));
    }
    const std::string path = folder_.File("tone24.flac");
    test::WriteIntFile(path, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1, rate, samples);

    const auto run = RunAnalyse({"--note", "A5", "--tsv", path});
    ASSERT_EQ(run.ExitCode, kAnalyseOk) << run.Err;
    const std::vector<Tick> ticks = parseTsv(run.Out);
    ASSERT_EQ(ticks.size(), 31u);
    EXPECT_EQ(ticks, expectedTicks(mono, rate, 24));
    EXPECT_EQ(ticks.back().SpecBin, -4);
    EXPECT_TRUE(ticks.back().SpecPlotted);
    // 400 times the 16-bit reference tone: level about 39000, between blue and cyan.
    EXPECT_NEAR(ticks.back().SpecPeak, 3.9e7, 1e6);
    EXPECT_EQ(ticks.back().SpecColour & 0xFF, 0u);
    EXPECT_EQ(ticks.back().SpecColour >> 16, 255u);
}

TEST_F(AnalyseFiles, FloatAndThirtyTwoBitFiles) {
    constexpr int32_t rate = 48000;
    std::vector<float> floats;
    std::vector<int32_t> ints;
    std::vector<float> floatMono, intMono;
    for (int64_t j = 0; j < 2 * rate; ++j) {
        const float left = static_cast<float>(toneSample(0.15, 440, j, rate));
        const float right = static_cast<float>(toneSample(0.1, 880, j, rate));
        floats.push_back(left);
        floats.push_back(right);
        floatMono.push_back(left * 32768.0f + right * 32768.0f);
        const auto value = static_cast<int32_t>(std::lround(toneSample(1e9, 440, j, rate)));
        ints.push_back(value);
        intMono.push_back(static_cast<float>(value));
    }
    const std::string floatPath = folder_.File("float.wav");
    test::WriteFloatFile(floatPath, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, rate, floats);
    const auto floatRun = RunAnalyse({"--tsv", floatPath});
    ASSERT_EQ(floatRun.ExitCode, kAnalyseOk) << floatRun.Err;
    const std::vector<Tick> floatTicks = parseTsv(floatRun.Out);
    EXPECT_EQ(floatTicks, expectedTicks(floatMono, rate, 12));
    ASSERT_FALSE(floatTicks.empty());
    EXPECT_EQ(floatTicks.back().SpecBin, 0);
    EXPECT_EQ(floatTicks.back().SpecHiBin, 0);

    const std::string intPath = folder_.File("int32.wav");
    test::WriteIntFile(intPath, SF_FORMAT_WAV | SF_FORMAT_PCM_32, 1, rate, ints);
    const auto intRun = RunAnalyse({"--tsv", intPath});
    ASSERT_EQ(intRun.ExitCode, kAnalyseOk) << intRun.Err;
    EXPECT_EQ(parseTsv(intRun.Out), expectedTicks(intMono, rate, 12));
}

TEST_F(AnalyseFiles, FloatSamplesThatAreNoNumberOrTooLargeAreAnalysedAsZero) {
    constexpr int32_t rate = 8000;
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr float inf = std::numeric_limits<float>::infinity();
    std::vector<float> tone;
    for (int64_t j = 0; j < 10 * rate; ++j) {
        tone.push_back(static_cast<float>(toneSample(0.5, 440, j, rate)));
    }
    // mono: what the analysis should see, the tone with the bad samples as 0.
    auto expectedMono = [&](const std::vector<float>& samples, int32_t channels) {
        std::vector<float> mono;
        for (size_t j = 0; j < samples.size(); j += channels) {
            float sum = 0.0f;
            for (int32_t c = 0; c < channels; ++c) {
                const float v = samples[j + c];
                sum += std::fabs(v) <= kMaxFloatSample ? v * 32768.0f : 0.0f;
            }
            mono.push_back(sum);
        }
        return mono;
    };
    struct Case {
        std::string Name;
        int32_t Channels;
        std::vector<float> Samples;
        std::string Warning;  // after the path
    };
    std::vector<Case> cases;
    {
        std::vector<float> s = tone;
        s[2 * rate] = nan;
        cases.push_back({"nan.wav", 1, s,
                         " holds 1 sample that is no number (NaN or infinity), at 2.000 s; it "
                         "was analysed as 0\n"});
    }
    {
        // Used to print "inf" as the peak, at a false bin.
        std::vector<float> s = tone;
        s[5 * rate + 4] = inf;
        s[7 * rate] = -inf;
        s[9 * rate] = 3e19f;
        cases.push_back({"inf.wav", 1, s,
                         " holds 2 samples that are no numbers (NaN or infinity), the first at "
                         "5.000 s, and 1 sample beyond 1e19 times full scale, at 9.000 s; they "
                         "were analysed as 0\n"});
    }
    {
        std::vector<float> s;
        for (float v : tone) {
            s.push_back(v);
            s.push_back(v);
        }
        s[2 * (3 * rate + 800) + 1] = nan;  // right channel only
        cases.push_back({"stereo.wav", 2, s,
                         " holds 1 sample that is no number (NaN or infinity), at 3.100 s; it "
                         "was analysed as 0\n"});
    }
    {
        // Used to show no peak at all, without a word. Only the 800 samples at the zero
        // crossings (sin(k pi) is about 1e-16) stay within the limit.
        std::vector<float> s;
        for (float v : tone) {
            s.push_back(v * 1e30f);
        }
        cases.push_back({"huge.wav", 1, s,
                         " holds 79200 samples beyond 1e19 times full scale, the first at "
                         "0.000 s; they were analysed as 0\n"});
    }
    {
        // Just inside the limit the analysis still finds the tone.
        std::vector<float> s;
        for (float v : tone) {
            s.push_back(v * 1.9e19f);
        }
        cases.push_back({"loud.wav", 1, s, ""});
    }
    for (const Case& c : cases) {
        const std::string path = folder_.File(c.Name);
        test::WriteFloatFile(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, c.Channels, rate, c.Samples);
        const auto run = RunAnalyse({"--tsv", path});
        ASSERT_EQ(run.ExitCode, kAnalyseOk) << c.Name << ": " << run.Err;
        EXPECT_EQ(run.Err,
                  c.Warning.empty() ? "" : "stemora-analyse: warning: '" + path + "'" + c.Warning);
        const std::vector<Tick> ticks = parseTsv(run.Out);
        EXPECT_EQ(ticks, expectedTicks(expectedMono(c.Samples, c.Channels), rate, 12)) << c.Name;
        ASSERT_EQ(ticks.size(), 158u);
        for (const Tick& t : ticks) {
            ASSERT_TRUE(std::isfinite(t.SpecPeak) && std::isfinite(t.SpecHiPeak) &&
                        std::isfinite(t.Ratio))
                << c.Name << " at " << t.Time;
            // A single bad sample no longer blanks the peak: once the tone has reached the
            // analysed half of the block (by 2 s at A4), every tick shows it.
            if (c.Name != "huge.wav" && t.Time >= "2.000") {
                ASSERT_EQ(t.SpecBin, 0) << c.Name << " at " << t.Time;
                ASSERT_TRUE(t.SpecPlotted) << c.Name << " at " << t.Time;
            }
        }
    }
}

TEST_F(AnalyseFiles, FilesShorterThanOneTickGiveNoLines) {
    const std::string path = folder_.File("short.wav");
    test::WriteIntFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000,
                       std::vector<int32_t>(3023, 1000));  // one frame short of 63 ms
    const auto text = RunAnalyse({path});
    EXPECT_EQ(text.ExitCode, kAnalyseOk);
    EXPECT_EQ(text.Out, "");
    const auto tsv = RunAnalyse({"--tsv", path});
    EXPECT_EQ(tsv.ExitCode, kAnalyseOk);
    EXPECT_EQ(tsv.Out, std::string(AnalyseTsvHeader()) + "\n");

    test::WriteIntFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000,
                       std::vector<int32_t>(3024, 1000));
    EXPECT_EQ(SplitLines(RunAnalyse({path}).Out).size(), 1u);
}

struct BadRun {
    std::vector<std::string> Args;
    int ExitCode;
    std::string Message;  // expected part of the one error line
};

TEST_F(AnalyseFiles, BadFilesGiveOneLineAndAFailingExit) {
    const std::string good = folder_.File("good.wav");
    test::WriteIntFile(good, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, std::vector<int32_t>(800));
    const std::string surround = folder_.File("surround.wav");
    test::WriteIntFile(surround, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 3, 8000,
                       std::vector<int32_t>(2400));
    const std::string slow = folder_.File("slow.wav");
    test::WriteIntFile(slow, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 999, std::vector<int32_t>(999));
    const std::string text = folder_.File("notes.txt");
    test::WriteBytes(text, {'n', 'o', 't', ' ', 's', 'o', 'u', 'n', 'd', '\n'});
    const std::string missing = folder_.File("missing.wav");

    const std::vector<BadRun> cases = {
        {{missing}, kAnalyseFileError, "cannot read"},
        {{text}, kAnalyseFileError, "cannot read"},
        {{folder_.File("").string()}, kAnalyseFileError, "cannot read"},
        {{surround}, kAnalyseFileError, "3 channels"},
        {{slow}, kAnalyseFileError, "999 Hz"},
    };
    for (const BadRun& c : cases) {
        std::string call;
        for (const std::string& a : c.Args) {
            call += " '" + a + "'";
        }
        const auto run = RunAnalyse(c.Args);
        EXPECT_EQ(run.ExitCode, c.ExitCode) << call;
        EXPECT_EQ(run.Out, "") << call;
        EXPECT_EQ(run.Err.rfind("stemora-analyse: ", 0), 0u) << call << ": " << run.Err;
        EXPECT_NE(run.Err.find(c.Message), std::string::npos) << call << ": " << run.Err;
        EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << call << ": " << run.Err;
        EXPECT_EQ(run.Err.back(), '\n') << call;
    }
}

}  // namespace
}  // namespace stemora
