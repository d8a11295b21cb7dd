#pragma once

// The capture stream's optional notification thread and the window-thread interface it calls
// its handler through. The tuner itself polls its stream and never starts one; streams whose
// owner wants to be told when bytes wait do.

#include <cstdint>
#include <exception>
#include <memory>

namespace stemora {

class TSoundCaptureStream;

// Runs steps on the window thread for the notification thread. Implemented by the window layer
// (and by fakes in tests).
class IWindowThread {
  public:
    virtual ~IWindowThread() = default;
    // Runs step(context) on the window thread and returns once it has run. Called from other
    // threads only. A step never throws.
    virtual void RunAndWait(void (*step)(void*), void* context) = 0;
    // True on the window thread itself.
    virtual bool IsWindowThread() const = 0;
    // Window thread only, while it waits for another thread: runs the steps queued so far.
    virtual void ServePending() = 0;
    // Window thread only: the application's standard handling of an exception that escaped a
    // handler (shows its message).
    virtual void ShowException(const std::exception& error) = 0;
};

// Calls the stream's OnNotify on the window thread every Interval ms while bytes wait. A handler
// that raises has its exception shown through the window thread, ends the notifications and
// closes the stream. Created and destroyed by the stream only; destruction signals the thread
// and waits for it (serving window-thread steps meanwhile when called on the window thread).
class TSoundCaptureStreamNotify {
  public:
    explicit TSoundCaptureStreamNotify(TSoundCaptureStream& stream);
    TSoundCaptureStreamNotify(const TSoundCaptureStreamNotify&) = delete;
    TSoundCaptureStreamNotify& operator=(const TSoundCaptureStreamNotify&) = delete;
    ~TSoundCaptureStreamNotify();

    // Lets the thread run (it is created waiting, so that the stream can store it first).
    void Start();
    // Wait between looks at the stream, ms: the smaller of BufferLength / 4 and 50.
    std::int32_t Interval() const noexcept;

  private:
    friend class TSoundCaptureStream;
    // True while the calling thread runs this notifier's step (the handler is on the stack).
    bool inStepOnCallingThread() const noexcept;
    // Signals the event: the run ends after the current wait or step.
    void requestStop() noexcept;

    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace stemora
