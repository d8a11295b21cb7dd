// The capture stream with threads: the notification thread on a fake window thread, reads that
// wait for the device, and a reader racing the recording clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CaptureTestSupport.h"
#include "capture/LibraryLoader.h"
#include "capture/SimulatedSound.h"
#include "capture/uDirectSound.h"

namespace stemora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The test's own thread plays the window thread: steps posted by other threads run only while
// the test serves them (ServeUntil, ServeFor) or while the stream waits on this thread
// (ServePending).
class FakeWindowThread : public IWindowThread {
  public:
    void RunAndWait(void (*step)(void*), void* context) override {
        std::unique_lock lock(mutex_);
        const std::uint64_t ticket = ++posted_;
        queue_.push_back({step, context});
        cv_.notify_all();
        cv_.wait(lock, [&] { return completed_ >= ticket; });
    }
    bool IsWindowThread() const override { return std::this_thread::get_id() == id_; }
    void ServePending() override {
        std::unique_lock lock(mutex_);
        while (!queue_.empty()) {
            const Task task = queue_.front();
            queue_.pop_front();
            lock.unlock();
            task.Step(task.Context);
            lock.lock();
            ++completed_;
            cv_.notify_all();
        }
    }
    void ShowException(const std::exception& error) override {
        EXPECT_TRUE(IsWindowThread());
        std::lock_guard lock(mutex_);
        shown_.push_back(error.what());
    }

    // Serves steps until `done` holds or `timeout` passes; returns `done`'s last value.
    bool ServeUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto end = Clock::now() + timeout;
        while (!done()) {
            if (Clock::now() > end) {
                return false;
            }
            {
                std::unique_lock lock(mutex_);
                cv_.wait_for(lock, 1ms, [this] { return !queue_.empty(); });
            }
            ServePending();
        }
        return true;
    }
    void ServeFor(std::chrono::milliseconds duration) {
        ServeUntil([] { return false; }, duration);
    }
    // Waits until a step is queued, without serving it.
    bool WaitForPosted(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
    }
    std::vector<std::string> Shown() {
        std::lock_guard lock(mutex_);
        return shown_;
    }

  private:
    struct Task {
        void (*Step)(void*);
        void* Context;
    };
    const std::thread::id id_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Task> queue_;
    std::uint64_t posted_ = 0;
    std::uint64_t completed_ = 0;
    std::vector<std::string> shown_;
};

// Turns a hang (a close waiting for a notification thread that waits for it) into a failure.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([limit](std::stop_token stop) {
              std::mutex mutex;
              std::condition_variable_any cv;
              std::unique_lock lock(mutex);
              cv.wait_for(lock, stop, limit, [] { return false; });
              if (!stop.stop_requested()) {
                  std::fprintf(stderr, "test hung for %lld s\n",
                               static_cast<long long>(limit.count()));
                  std::abort();
              }
          }) {}

  private:
    std::jthread thread_;
};

// Selects rate/bits/channels (accepted by the default simulated device).
void select(TSoundCaptureStream& stream, int rate, int bits, int channels) {
    const std::int32_t index = test::FormatIndexOf(stream.Formats(), rate, bits, channels);
    ASSERT_GE(index, 0) << "format not offered";
    stream.SetFormatIndex(index);
}

// ---------------------------------------------------------------------------------------------
// Notification thread

TEST(NotifyThreadTest, HandlerRunsOnTheWindowThreadWhileDataWaits) {
    const Watchdog watchdog(std::chrono::seconds(30));
    SimulatedSoundBackend backend;
    backend.SetSource(SimulatedSource::Bytes(test::Pattern()));
    FakeWindowThread window;
    TSoundCaptureStream stream(nullptr, backend, &window);
    select(stream, 8000, 8, 1);
    std::atomic<int> calls{0};
    std::atomic<bool> onWindowThread{true};
    std::vector<std::uint8_t> received;
    stream.SetOnNotify([&](TSoundCaptureStream& sender) {
        EXPECT_EQ(&sender, &stream);
        onWindowThread = onWindowThread && window.IsWindowThread();
        ++calls;
        std::vector<std::uint8_t> chunk(static_cast<std::size_t>(sender.Available()));
        sender.Read(chunk.data(), static_cast<std::int32_t>(chunk.size()));
        received.insert(received.end(), chunk.begin(), chunk.end());
    });
    stream.Open();

    // Nothing recorded: the thread looks every 50 ms but calls nobody.
    window.ServeFor(150ms);
    EXPECT_EQ(calls.load(), 0);

    backend.Advance(400);
    ASSERT_TRUE(window.ServeUntil([&] { return calls.load() >= 1; }, 2000ms));
    backend.Advance(300);
    ASSERT_TRUE(window.ServeUntil([&] { return received.size() >= 700; }, 2000ms));
    EXPECT_TRUE(onWindowThread.load());
    ASSERT_EQ(received.size(), 700u);
    for (std::size_t k = 0; k < received.size(); ++k) {
        ASSERT_EQ(received[k], test::PatternAt(k)) << k;
    }

    // A step waits for the window thread while it closes the stream: Close serves it and
    // returns.
    backend.Advance(50);
    ASSERT_TRUE(window.WaitForPosted(2000ms));
    stream.Close();
    EXPECT_FALSE(stream.Active());
    EXPECT_EQ(received.size(), 750u);
    const int callsAtClose = calls.load();
    window.ServeFor(120ms);
    EXPECT_EQ(calls.load(), callsAtClose);
    EXPECT_TRUE(window.Shown().empty());
}

TEST(NotifyThreadTest, RaisingHandlerIsShownStopsNotificationsAndClosesTheStream) {
    const Watchdog watchdog(std::chrono::seconds(30));
    SimulatedSoundBackend backend;
    FakeWindowThread window;
    TSoundCaptureStream stream(nullptr, backend, &window);
    std::atomic<int> calls{0};
    stream.SetOnNotify([&](TSoundCaptureStream&) {
        ++calls;
        throw ESoundCaptureStreamError("handler failed");
    });
    stream.Open();
    backend.Advance(100);
    ASSERT_TRUE(window.ServeUntil([&] { return !window.Shown().empty(); }, 2000ms));
    EXPECT_EQ(window.Shown(), std::vector<std::string>{"handler failed"});
    // The notification thread closes the stream on its own.
    ASSERT_TRUE(window.ServeUntil([&] { return !stream.Active(); }, 2000ms));
    EXPECT_EQ(backend.GetCounters().BuffersLive, 0);
    EXPECT_EQ(backend.GetCounters().Stops, 1);
    EXPECT_EQ(stream.Available(), 0);
    window.ServeFor(150ms);
    EXPECT_EQ(calls.load(), 1);

    // The owner's calls stay safe, and the stream opens again with a new notification thread.
    stream.Close();
    stream.Open();
    EXPECT_TRUE(stream.Active());
    backend.Advance(10);
    ASSERT_TRUE(window.ServeUntil([&] { return calls.load() == 2; }, 2000ms));
    ASSERT_TRUE(window.ServeUntil([&] { return !stream.Active(); }, 2000ms));
    EXPECT_EQ(window.Shown().size(), 2u);
}

TEST(NotifyThreadTest, HandlerClosingItsOwnStreamDoesNotHang) {
    const Watchdog watchdog(std::chrono::seconds(30));
    SimulatedSoundBackend backend;
    FakeWindowThread window;
    std::atomic<int> calls{0};
    {
        TSoundCaptureStream stream(nullptr, backend, &window);
        stream.SetOnNotify([&](TSoundCaptureStream& sender) {
            ++calls;
            sender.Close();
            sender.Close();
        });
        stream.Open();
        backend.Advance(100);
        ASSERT_TRUE(window.ServeUntil([&] { return calls.load() == 1; }, 2000ms));
        EXPECT_FALSE(stream.Active());
        EXPECT_EQ(backend.GetCounters().BuffersLive, 0);
        window.ServeFor(120ms);
        EXPECT_EQ(calls.load(), 1);
        stream.Open();  // joins the finished thread, starts a new one
        backend.Advance(10);
        ASSERT_TRUE(window.ServeUntil([&] { return calls.load() == 2; }, 2000ms));
    }
    EXPECT_EQ(backend.GetCounters().BuffersLive, 0);
    EXPECT_EQ(backend.GetCounters().DevicesLive, 0);
    EXPECT_TRUE(window.Shown().empty());
}

TEST(NotifyThreadTest, DestructionWhileStepsWaitAndWithoutAWindowThread) {
    const Watchdog watchdog(std::chrono::seconds(30));
    SimulatedSoundBackend backend;
    FakeWindowThread window;
    std::atomic<int> calls{0};
    {
        TSoundCaptureStream stream(nullptr, backend, &window);
        stream.SetOnNotify([&](TSoundCaptureStream&) { ++calls; });
        stream.Open();
        backend.Advance(100);
        ASSERT_TRUE(window.WaitForPosted(2000ms));
        // Destroyed on the window thread with a step queued: it is served, not deadlocked.
    }
    EXPECT_LE(calls.load(), 1);
    EXPECT_EQ(backend.GetCounters().BuffersLive, 0);

    // Without a window thread the handler runs on the notification thread itself.
    std::atomic<bool> elsewhere{false};
    {
        TSoundCaptureStream stream(nullptr, backend);
        const auto test = std::this_thread::get_id();
        stream.SetOnNotify([&](TSoundCaptureStream& sender) {
            elsewhere = std::this_thread::get_id() != test;
            std::uint8_t bytes[100];
            sender.Read(bytes, sender.Available());
            ++calls;
        });
        const int before = calls.load();
        stream.Open();
        backend.Advance(100);
        const auto end = Clock::now() + 2s;
        while (calls.load() == before && Clock::now() < end) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_GT(calls.load(), before);
        EXPECT_TRUE(elsewhere.load());
    }
}

TEST(NotifyThreadTest, IntervalIsFiftyMilliseconds) {
    const Watchdog watchdog(std::chrono::seconds(30));
    SimulatedSoundBackend backend;
    FakeWindowThread window;
    TSoundCaptureStream stream(nullptr, backend, &window);
    std::atomic<int> calls{0};
    stream.SetOnNotify([&](TSoundCaptureStream&) { ++calls; });  // never reads: data keeps waiting
    stream.Open();
    backend.Advance(10);
    const auto start = Clock::now();
    ASSERT_TRUE(window.ServeUntil([&] { return calls.load() >= 5; }, 3000ms));
    const auto elapsed = Clock::now() - start;
    // Five looks, each after a 50 ms wait (loosely bounded for slow sanitizer runs).
    EXPECT_GE(elapsed, 240ms);
    EXPECT_LE(elapsed, 2000ms);
    stream.Close();
}

// ---------------------------------------------------------------------------------------------
// Reads against a running device

TEST(StreamWaitTest, ReadOfMoreThanAvailableWaitsUntilEverythingArrived) {
    SimulatedSoundBackend backend;
    backend.SetSource(SimulatedSource::Bytes(test::Pattern()));
    TSoundCaptureStream stream(nullptr, backend);
    select(stream, 8000, 8, 1);
    stream.Open();
    backend.StartRealTime();
    std::vector<std::uint8_t> bytes(2000);  // a quarter of a second
    const auto start = Clock::now();
    ASSERT_EQ(stream.Read(bytes.data(), 2000), 2000);
    const auto elapsed = Clock::now() - start;
    backend.StopRealTime();
    EXPECT_GE(elapsed, 200ms);
    for (std::uint64_t k = 0; k < bytes.size(); ++k) {
        ASSERT_EQ(bytes[k], test::PatternAt(k)) << k;
    }
    EXPECT_EQ(stream.Position(), 2000);
}

TEST(StreamWaitTest, PollingReaderGetsEveryByteInOrderWhileTheClockRuns) {
    SimulatedSoundBackend backend;
    backend.SetSource(SimulatedSource::Bytes(test::Pattern()));
    TSoundCaptureStream stream(nullptr, backend);
    select(stream, 96000, 32, 2);  // 768000 bytes a second
    stream.Open();
    std::atomic<bool> stop{false};
    // The recording runs on its own thread in uneven steps, as a device would.
    std::thread recorder([&] {
        std::uint64_t frames = 1;
        while (!stop.load()) {
            backend.Advance(frames);
            frames = frames % 997 + 13;
            std::this_thread::sleep_for(200us);
        }
    });
    std::vector<std::uint8_t> chunk(65536);
    std::uint64_t total = 0;
    bool inOrder = true;
    const auto end = Clock::now() + 300ms;
    while (Clock::now() < end && inOrder) {
        std::this_thread::sleep_for(1ms);
        const std::int32_t n = std::min<std::int32_t>(stream.Available(), 65536);
        ASSERT_EQ(stream.Read(chunk.data(), n), n);
        for (std::int32_t k = 0; k < n && inOrder; ++k) {
            inOrder = chunk[static_cast<std::size_t>(k)] == test::PatternAt(total + k);
        }
        total += static_cast<std::uint64_t>(n);
    }
    stop = true;
    recorder.join();
    EXPECT_TRUE(inOrder) << "at byte " << total;
    EXPECT_GT(total, 10000u);
    EXPECT_EQ(total % 8, 0u);  // the device completes whole frames
}

TEST(StreamWaitTest, RealTimeClockRecordsAtTheFormatsRate) {
    SimulatedSoundBackend backend;
    TSoundCaptureStream stream(nullptr, backend);
    select(stream, 48000, 16, 2);
    stream.Open();
    backend.StartRealTime();
    const auto start = Clock::now();
    std::this_thread::sleep_for(300ms);
    backend.StopRealTime();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double frames = static_cast<double>(backend.RecordedFrames());
    EXPECT_NEAR(frames / seconds, 48000.0, 48000.0 * 0.1);
    EXPECT_EQ(stream.Available(), static_cast<std::int32_t>(backend.RecordedFrames() * 4));
}

// ---------------------------------------------------------------------------------------------
// Library loader

TEST(LibraryLoaderThreadsTest, ConcurrentFirstUseLoadsTheLibraryOnce) {
    std::atomic<bool> go{false};
    std::vector<void*> found(4, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < found.size(); ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            found[t] = GetLibraryProc("libc.so.6", "strlen");
        });
    }
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (void* entry : found) {
        EXPECT_EQ(entry, found[0]);
    }
    const std::vector<std::string> names = LoadedLibraryNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "libc.so.6"), 1);
}

}  // namespace
}  // namespace stemora
