// One display tick (PackFrames + AnalyseSpectra; goal under 50 us) and stemora-analyse on a
// 60-second 48 kHz stereo file (goal at least 200x real time, see the x_realtime counter).

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "AnalyseFile.h"
#include "core/SampleBuffers.h"
#include "core/SpectrumAnalysis.h"
#include "core/TuningState.h"

namespace {

using namespace stemora;

// Blocks as the capture thread leaves them after 3 s of a 440 Hz tone with a second harmonic.
void fillBlocks(SampleBuffers& buffers) {
    const double rate = DecimationRateFor(kDefaultNoteShift);
    buffers.ResetDecimators();
    for (int64_t start = 0; start < 3 * 48000; start += 48) {
        for (int32_t j = 0; j < 48; ++j) {
            const double t = static_cast<double>(start + j) / 48000.0;
            buffers.SampleBuffer()[j] =
                static_cast<float>(10000.0 * std::sin(2 * std::numbers::pi * 440.0 * t) +
                                   8000.0 * std::sin(4 * std::numbers::pi * 440.0 * t));
        }
        buffers.FeedPass(48000, 48, rate);
    }
}

void BM_DisplayTick(benchmark::State& state) {
    auto buffers = std::make_unique<SampleBuffers>();
    fillBlocks(*buffers);
    auto analyser = std::make_unique<SpectrumAnalyser>();
    analyser->BuildWindowTable();
    for (auto _ : state) {
        analyser->PackFrames(buffers->Spec.Block(), buffers->SpecHi.Block());
        const SpectrumResult& r = analyser->AnalyseSpectra(",");
        benchmark::DoNotOptimize(r.SpecPeak);
    }
    if (analyser->Result().SpecPeakBin != 1024 || !analyser->Result().SpecHiPlotted) {
        state.SkipWithError("unexpected analysis result");
    }
}
BENCHMARK(BM_DisplayTick)->Unit(benchmark::kMicrosecond);

void put(std::ofstream& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

// 16-bit stereo PCM WAV: a 440 Hz tone drifting slowly in pitch, so that the peak moves.
void writeSixtySecondFile(const std::filesystem::path& path) {
    constexpr uint32_t rate = 48000;
    constexpr uint32_t frames = 60 * rate;
    constexpr uint32_t dataBytes = frames * 4;
    std::ofstream out(path, std::ios::binary);
    out.write("RIFF", 4);
    put(out, 36 + dataBytes, 4);
    out.write("WAVEfmt ", 8);
    put(out, 16, 4);
    put(out, 1, 2);
    put(out, 2, 2);
    put(out, rate, 4);
    put(out, rate * 4, 4);
    put(out, 4, 2);
    put(out, 16, 2);
    out.write("data", 4);
    put(out, dataBytes, 4);
    double phase = 0.0;
    for (uint32_t j = 0; j < frames; ++j) {
        const double frequency =
            440.0 * (1.0 + 0.01 * std::sin(2 * std::numbers::pi * j / (20.0 * rate)));
        phase += 2 * std::numbers::pi * frequency / rate;
        const auto value = static_cast<int16_t>(std::lround(6000.0 * std::sin(phase)));
        put(out, static_cast<uint16_t>(value), 2);
        put(out, static_cast<uint16_t>(value), 2);
    }
}

class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

void BM_AnalyseSixtySecondFile(benchmark::State& state) {
    std::string folder = (std::filesystem::temp_directory_path() / "stemora-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    AnalyseOptions options;
    options.Path = (std::filesystem::path(folder) / "sixty.wav").string();
    writeSixtySecondFile(options.Path);
    NullBuffer null;
    std::ostream out(&null);
    std::ostream err(&null);
    int code = kAnalyseOk;
    for (auto _ : state) {
        code = RunAnalysis(options, out, err);
    }
    std::filesystem::remove_all(folder);
    if (code != kAnalyseOk) {
        state.SkipWithError("analysis failed");
        return;
    }
    state.counters["x_realtime"] = benchmark::Counter(
        60.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AnalyseSixtySecondFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
