// How long the window thread waits for CaptureLock while both cores are busy.
//
// The capture thread holds CaptureLock through each whole pass (1 ms sleep included) and asks
// for it again at once. A copier thread stands in for the window: every display tick (63 ms) it
// takes the lock and copies both decimated blocks, timing its wait for the lock. Two child
// processes spin, one per core, for the whole run, as a loaded machine would.
//
// Three captures, each on the simulated device in real time with a 440 Hz tone:
//   ReplicaStdMutex  the capture pass copied into this file, under std::mutex (the old lock);
//   ReplicaFairLock  the same copy under FairLock, so the lock is the only difference;
//   TunerThread      TTunerThread itself, with its FairLock.
// Counters (milliseconds): median, p99 and worst wait; over_tick counts the waits longer than a
// whole tick, each of which is a display tick lost. wake_late_p99_ms is how late the copier woke
// for its ticks, the scheduling delay that no lock can remove. passes_per_s shows what fairness
// costs the capture thread (replicas only).

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "app/FairLock.h"
#include "app/uTuner.h"
#include "capture/SimulatedSound.h"

namespace stemora {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(63);

// Child processes that spin until this object goes (or the benchmark dies: they are killed with
// their parent).
class CoreHogs {
  public:
    explicit CoreHogs(int count) {
        const pid_t parent = getpid();
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                // Only async-signal-safe calls from here: the parent has threads.
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (getppid() != parent) {
                    _exit(0);
                }
                volatile std::uint64_t spin = 0;
                for (;;) {
                    spin = spin + 1;
                }
            }
            if (pid > 0) {
                pids_.push_back(pid);
            }
        }
    }
    ~CoreHogs() {
        for (const pid_t pid : pids_) {
            kill(pid, SIGKILL);
        }
        for (const pid_t pid : pids_) {
            waitpid(pid, nullptr, 0);
        }
    }
    CoreHogs(const CoreHogs&) = delete;
    CoreHogs& operator=(const CoreHogs&) = delete;

    int Count() const noexcept { return static_cast<int>(pids_.size()); }

  private:
    std::vector<pid_t> pids_;
};

class QuietWindow : public ITunerWindow {
  public:
    void PostSoundModeCaption(std::string) override {}
    void PostSoundModeVisible() override {}
    void CloseDeviceCheck() noexcept override {}
};

// TTunerThread's capture pass, under a lock of choice: same stream, same 1 ms sleep inside the
// lock, same read cap, conversion and feeds.
template <class Lock>
class ReplicaCapture {
  public:
    ReplicaCapture(SampleBuffers& buffers, ISoundBackend& backend)
        : buffers_(buffers), stream_(nullptr, backend) {
        stream_.SetFormatIndex(ChooseCaptureFormat(stream_.Formats()));
        const TSoundCaptureFormat& format = stream_.Formats().Items(stream_.FormatIndex());
        bytesPerSample_ = format.BitsPerSample / 8;
        bytesPerFrame_ = bytesPerSample_ * format.Channels;
        sampleRate_ = format.SamplesPerSec;
        convert_ = FrameConverterFor(bytesPerSample_, format.Channels);
        maxReadBytes_ = kMaxReadBytes - kMaxReadBytes % bytesPerFrame_;
        thread_ = std::jthread([this](std::stop_token stop) { Execute(stop); });
    }
    ~ReplicaCapture() {
        thread_.request_stop();
        thread_.join();
    }

    Lock& CaptureLock() noexcept { return lock_; }
    std::int64_t Passes() const noexcept { return passes_.load(std::memory_order_relaxed); }

  private:
    void Execute(std::stop_token stop) {
        std::array<std::uint8_t, kMaxReadBytes> readBuffer;
        float* const sampleBuffer = buffers_.SampleBuffer();
        buffers_.ResetDecimators();
        stream_.Open();
        do {
            std::lock_guard lock(lock_);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const std::int32_t count = std::clamp(stream_.Available(), 0, maxReadBytes_);
            stream_.Read(readBuffer.data(), count);
            const std::int32_t frames = count / bytesPerFrame_;
            convert_(readBuffer.data(), frames, sampleBuffer);
            buffers_.FeedPass(sampleRate_, frames, kDecimationRate);
            passes_.fetch_add(1, std::memory_order_relaxed);
        } while (!stop.stop_requested());
        stream_.Close();
    }

    static constexpr double kDecimationRate = 1760.0;

    SampleBuffers& buffers_;
    TSoundCaptureStream stream_;
    Lock lock_;
    std::int32_t bytesPerSample_ = 0;
    std::int32_t bytesPerFrame_ = 0;
    std::int32_t sampleRate_ = 0;
    std::int32_t maxReadBytes_ = 0;
    FrameConverter convert_ = nullptr;
    std::atomic<std::int64_t> passes_{0};
    std::jthread thread_;  // last: it goes first
};

// The real capture thread, behind the same face as the replicas.
class RealCapture {
  public:
    RealCapture(SampleBuffers& buffers, ISoundBackend& backend)
        : thread_(buffers, decimationRate_, window_, backend) {}

    FairLock& CaptureLock() noexcept { return thread_.CaptureLock(); }
    std::int64_t Passes() const noexcept { return -1; }  // not counted by the real thread

  private:
    std::atomic<double> decimationRate_{1760.0};
    QuietWindow window_;
    TTunerThread thread_;
};

double percentile(std::vector<double> sorted, double fraction) {
    if (sorted.empty()) {
        return 0.0;
    }
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
    return sorted[index];
}

template <class Capture>
void BM_CopierWaitForCaptureLock(benchmark::State& state) {
    const auto measured = std::chrono::seconds(state.range(0));
    auto buffers = std::make_unique<SampleBuffers>();
    std::vector<float> spec(kRingLength);
    std::vector<float> specHi(kRingLength);
    std::vector<double> waitsMs;
    std::vector<double> lateMs;
    waitsMs.reserve(static_cast<std::size_t>(measured / kTick) + 2);
    lateMs.reserve(waitsMs.capacity());
    double passesPerSecond = 0.0;
    int hogs = 0;
    for (auto _ : state) {
        SimulatedSoundBackend backend;
        backend.SetSource(SimulatedSource::Tone(440.0));
        backend.StartRealTime();
        {
            CoreHogs load(2);
            hogs = load.Count();
            Capture capture(*buffers, backend);
            // Let the stream open and the first passes settle.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const std::int64_t passes0 = capture.Passes();
            const auto start = Clock::now();
            auto next = start;
            while (Clock::now() - start < measured) {
                // Like a window timer, an overdue tick fires at once and is not made up later,
                // so one long wait does not count as lateness on the ticks after it.
                next = std::max(next + kTick, Clock::now());
                std::this_thread::sleep_until(next);
                const auto asked = Clock::now();
                lateMs.push_back(std::chrono::duration<double, std::milli>(asked - next).count());
                std::lock_guard lock(capture.CaptureLock());
                const auto got = Clock::now();
                std::copy_n(buffers->Spec.Block(), kRingLength, spec.begin());
                std::copy_n(buffers->SpecHi.Block(), kRingLength, specHi.begin());
                waitsMs.push_back(std::chrono::duration<double, std::milli>(got - asked).count());
            }
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            passesPerSecond =
                passes0 < 0 ? -1.0 : static_cast<double>(capture.Passes() - passes0) / seconds;
        }
        backend.StopRealTime();
    }
    benchmark::DoNotOptimize(spec.data());
    benchmark::DoNotOptimize(specHi.data());

    std::sort(waitsMs.begin(), waitsMs.end());
    const auto tickMs = static_cast<double>(kTick.count());
    state.counters["ticks"] = static_cast<double>(waitsMs.size());
    state.counters["median_ms"] = percentile(waitsMs, 0.5);
    state.counters["p99_ms"] = percentile(waitsMs, 0.99);
    state.counters["max_ms"] = waitsMs.empty() ? 0.0 : waitsMs.back();
    state.counters["over_tick"] = static_cast<double>(
        waitsMs.end() - std::upper_bound(waitsMs.begin(), waitsMs.end(), tickMs));
    // How late the copier woke for its ticks: the scheduler's share of any wait, lock or not.
    std::sort(lateMs.begin(), lateMs.end());
    state.counters["wake_late_p99_ms"] = percentile(lateMs, 0.99);
    state.counters["hogs"] = hogs;
    if (passesPerSecond >= 0.0) {
        state.counters["passes_per_s"] = passesPerSecond;
    }
}

BENCHMARK_TEMPLATE(BM_CopierWaitForCaptureLock, ReplicaCapture<std::mutex>)
    ->Name("CopierWait/ReplicaStdMutex")
    ->Arg(20)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_TEMPLATE(BM_CopierWaitForCaptureLock, ReplicaCapture<FairLock>)
    ->Name("CopierWait/ReplicaFairLock")
    ->Arg(20)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_TEMPLATE(BM_CopierWaitForCaptureLock, RealCapture)
    ->Name("CopierWait/TunerThread")
    ->Arg(20)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace stemora
