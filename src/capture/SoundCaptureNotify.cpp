#include "capture/SoundCaptureNotify.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "capture/uDirectSound.h"

namespace stemora {

namespace {

constexpr std::int32_t kMaxNotifyInterval = 50;

// An auto-reset event: Set wakes one wait and the signal is consumed by it.
class AutoResetEvent {
  public:
    void Set() {
        {
            std::lock_guard lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_one();
    }
    // True when signalled within `timeout` (the signal is then consumed), false on time-out.
    bool WaitFor(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, timeout, [this] { return signalled_; })) {
            return false;
        }
        signalled_ = false;
        return true;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace

class TSoundCaptureStreamNotify::Impl {
  public:
    Impl(TSoundCaptureStream& stream, TSoundCaptureStreamNotify& owner)
        : stream_(stream),
          owner_(owner),
          window_(stream.windowThread_),
          interval_(std::min(stream.BufferLength() / 4, kMaxNotifyInterval)) {}

    void Start() {
        thread_ = std::thread([this] { run(); });
    }

    // Signals the event, then waits for the run to end; on the window thread it keeps serving
    // window-thread steps meanwhile, so a step in flight completes.
    void Shutdown() noexcept {
        event_.Set();
        if (!thread_.joinable()) {
            return;
        }
        if (window_ != nullptr && window_->IsWindowThread()) {
            std::unique_lock lock(finishedMutex_);
            while (!finished_) {
                lock.unlock();
                try {
                    window_->ServePending();
                } catch (...) {
                    // Serving must go on until the thread has ended.
                }
                lock.lock();
                finishedCv_.wait_for(lock, std::chrono::milliseconds(1),
                                     [this] { return finished_; });
            }
        }
        thread_.join();
    }

    bool InStepOnCallingThread() const noexcept {
        return stepThread_.load(std::memory_order_acquire) == std::this_thread::get_id();
    }
    void RequestStop() noexcept { event_.Set(); }
    std::int32_t Interval() const noexcept { return interval_; }

  private:
    void run() noexcept {
        try {
            while (!event_.WaitFor(std::chrono::milliseconds(interval_))) {
                if (window_ != nullptr) {
                    window_->RunAndWait(&Impl::stepThunk, this);
                } else {
                    step();
                }
            }
        } catch (...) {
            // Nothing leaves the thread; a failed hand-over ends the notifications.
        }
        // The run ended by itself (a handler failed) unless the stream is shutting it down; the
        // stream tells the two apart and closes itself only in the first case.
        stream_.closeAfterNotifierFailure(&owner_);
        {
            std::lock_guard lock(finishedMutex_);
            finished_ = true;
        }
        finishedCv_.notify_all();
    }

    static void stepThunk(void* context) { static_cast<Impl*>(context)->step(); }

    void step() noexcept {
        stepThread_.store(std::this_thread::get_id(), std::memory_order_release);
        try {
            if (stream_.Available() > 0) {
                stream_.DoNotify();
            }
        } catch (const std::exception& error) {
            show(error);
            event_.Set();
        } catch (...) {
            show(Exception("Unknown error in the sound notification handler"));
            event_.Set();
        }
        stepThread_.store(std::thread::id(), std::memory_order_release);
    }

    void show(const std::exception& error) noexcept {
        try {
            if (window_ != nullptr) {
                window_->ShowException(error);
            } else {
                std::fprintf(stderr, "%s\n", error.what());
            }
        } catch (...) {
            // Showing is best effort; the notifications stop either way.
        }
    }

    TSoundCaptureStream& stream_;
    TSoundCaptureStreamNotify& owner_;
    IWindowThread* window_;
    const std::int32_t interval_;
    AutoResetEvent event_;
    std::thread thread_;
    std::atomic<std::thread::id> stepThread_{};
    std::mutex finishedMutex_;
    std::condition_variable finishedCv_;
    bool finished_ = false;
};

TSoundCaptureStreamNotify::TSoundCaptureStreamNotify(TSoundCaptureStream& stream)
    : impl_(std::make_unique<Impl>(stream, *this)) {}

TSoundCaptureStreamNotify::~TSoundCaptureStreamNotify() {
    impl_->Shutdown();
}

void TSoundCaptureStreamNotify::Start() {
    impl_->Start();
}

std::int32_t TSoundCaptureStreamNotify::Interval() const noexcept {
    return impl_->Interval();
}

bool TSoundCaptureStreamNotify::inStepOnCallingThread() const noexcept {
    return impl_->InStepOnCallingThread();
}

void TSoundCaptureStreamNotify::requestStop() noexcept {
    impl_->RequestStop();
}

}  // namespace stemora
