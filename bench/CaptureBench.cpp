// CPU cost of the capture thread: the share of one core that TTunerThread takes while it
// captures 96000 Hz 32-bit stereo (the costliest format its scan picks) from the simulated
// device in real time, polling, converting and feeding both decimators.
//
// The thread's own CPU clock is taken on the capture thread itself (the window hook it calls
// first), so the simulated device's recording thread and the benchmark do not count. A second
// benchmark measures a thread that only sleeps 1 ms per pass: the floor that the polling design
// sets on this machine, whatever the pass does.

#include <benchmark/benchmark.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "app/uTuner.h"
#include "capture/SimulatedSound.h"

namespace stemora {
namespace {

class ClockingWindow : public ITunerWindow {
  public:
    void PostSoundModeCaption(std::string) override {
        clockid_t clock{};
        if (pthread_getcpuclockid(pthread_self(), &clock) == 0) {
            clock_ = clock;
            known_.store(true, std::memory_order_release);
        }
    }
    void PostSoundModeVisible() override {}
    void CloseDeviceCheck() noexcept override {}

    // CPU seconds the capture thread has used so far; negative when unknown.
    double CpuSeconds() const {
        if (!known_.load(std::memory_order_acquire)) {
            return -1.0;
        }
        timespec now{};
        clock_gettime(clock_, &now);
        return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
    }

  private:
    clockid_t clock_{};
    std::atomic<bool> known_{false};
};

void BM_CaptureThread96k32BitStereo(benchmark::State& state) {
    const auto measured = std::chrono::milliseconds(state.range(0));
    auto buffers = std::make_unique<SampleBuffers>();
    std::atomic<double> decimationRate{1760.0};
    double cpuShare = 0.0;
    for (auto _ : state) {
        SimulatedSoundBackend backend;
        backend.SetSource(SimulatedSource::Tone(440.0));
        backend.StartRealTime();
        ClockingWindow window;
        {
            TTunerThread thread(*buffers, decimationRate, window, backend);
            if (thread.SampleRate() != 96000 || thread.BytesPerFrame() != 8) {
                state.SkipWithError("the capture thread did not pick 96000 Hz 32-bit stereo");
                break;
            }
            // Let the stream open and the first passes settle.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const double cpu0 = window.CpuSeconds();
            const auto wall0 = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(measured);
            const double cpu1 = window.CpuSeconds();
            const double wall =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
            if (cpu0 < 0.0 || thread.Finished()) {
                state.SkipWithError("the capture thread did not run");
                break;
            }
            cpuShare = (cpu1 - cpu0) / wall;
        }
        backend.StopRealTime();
    }
    // Seconds of CPU per second of sound, as a percentage of one core.
    state.counters["cpu_percent_of_core"] = 100.0 * cpuShare;
    state.counters["cpu_us_per_s_of_sound"] = 1e6 * cpuShare;
}

void BM_OneMillisecondSleepLoop(benchmark::State& state) {
    const auto measured = std::chrono::milliseconds(state.range(0));
    double cpuShare = 0.0;
    for (auto _ : state) {
        std::thread sleeper([&] {
            timespec cpu0{};
            timespec cpu1{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
            const auto wall0 = std::chrono::steady_clock::now();
            while (std::chrono::steady_clock::now() - wall0 < measured) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
            const double wall =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
            cpuShare = (static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) +
                        1e-9 * static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec)) /
                       wall;
        });
        sleeper.join();
    }
    state.counters["cpu_percent_of_core"] = 100.0 * cpuShare;
}

BENCHMARK(BM_CaptureThread96k32BitStereo)
    ->Arg(5000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK(BM_OneMillisecondSleepLoop)
    ->Arg(5000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace stemora
