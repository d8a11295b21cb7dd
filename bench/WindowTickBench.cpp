// One display tick as the window runs it, with the capture thread running on the simulated
// device: CaptureLock, PackFrames, AnalyseSpectra, the refill of both spectrum series, and the
// repaint of both spectrum charts into offscreen images. Goal: median under 1 ms.
// Argument 1: the capture thread running, so the tick also waits for the pass that holds
// CaptureLock (its 1 ms sleep included); 0: the thread stopped once the spectra are up, so the
// same tick runs on the last blocks with the lock free: the tick's own time.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QThread>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <random>
#include <thread>

#include "QtBenchmark.h"
#include "app/TunerForm.h"
#include "capture/SimulatedSound.h"

namespace {

using namespace stemora;

class PassingCheck final : public IDeviceCheck {
  public:
    bool Query() override { return true; }
    bool Open() override { return true; }
    void Close() noexcept override {}
};

void BM_WindowTick(benchmark::State& state) {
    SimulatedSoundBackend backend;
    // 16-bit sound with a tone at A4 and its octave, so both spectra are drawn on every tick.
    backend.AcceptFormats([](const WaveFormat& f) { return f.wBitsPerSample == 16; });
    backend.SetSource(
        SimulatedSource::Samples([](std::uint64_t frame, std::uint32_t, std::uint32_t rate) {
            const double t = static_cast<double>(frame) / rate;
            return 0.3 * std::sin(2 * std::numbers::pi * 440.0 * t) +
                   0.25 * std::sin(4 * std::numbers::pi * 440.0 * t);
        }));
    backend.StartRealTime();
    PassingCheck check;
    {
        TTunerForm form(backend, check);
        form.show();
        QElapsedTimer waited;
        waited.start();
        while ((form.SeriesSpec->Count() == 0 || form.SeriesSpecHi->Count() == 0) &&
               waited.elapsed() < 10000) {
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        if (form.SeriesSpec->Count() == 0 || form.SeriesSpecHi->Count() == 0) {
            state.SkipWithError("no spectrum after 10 s");
        }
        if (state.range(0) == 0) {
            form.TunerThread()->RequestStop();
            while (!form.TunerThread()->Finished()) {
                QThread::msleep(1);
            }
        }
        QImage spec(form.ChartSpec->size(), QImage::Format_RGB32);
        QImage specHi(form.ChartSpecHi->size(), QImage::Format_RGB32);
        // Ticks come every 63 ms, at no particular point of a capture pass: a short untimed
        // pause of varying length before each one stands in for that, where back-to-back ticks
        // would always queue behind a whole fresh pass.
        std::minstd_rand phase(1);
        std::uniform_int_distribution<int> pause(0, 2000);
        for (auto _ : state) {
            state.PauseTiming();
            std::this_thread::sleep_for(std::chrono::microseconds(pause(phase)));
            state.ResumeTiming();
            form.ShowSpectra();
            form.ChartSpec->render(&spec);
            form.ChartSpecHi->render(&specHi);
            benchmark::DoNotOptimize(spec.constBits());
            benchmark::DoNotOptimize(specHi.constBits());
        }
        state.counters["spec_points"] = form.SeriesSpec->Count();
        state.counters["spechi_points"] = form.SeriesSpecHi->Count();
        form.close();
    }
    backend.StopRealTime();
}
BENCHMARK(BM_WindowTick)
    ->ArgName("capture")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly();

}  // namespace

int main(int argc, char** argv) {
    stemora::bench::QtBenchmarkApplication application(argc, argv);
    if (!application.ArgumentsUnderstood(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
