#pragma once
// The capture thread: moves sound from the default capture device into the two decimators.
//
// TTunerThread owns one capture stream and CaptureLock. Its constructor (window thread) builds
// the stream and chooses the capture format; its body polls the stream in a loop, converts every
// captured frame to one float sample (channels summed) into SampleBuffer and feeds both
// decimators, each pass under CaptureLock, until a stop is requested.
//
// A device that stops answering (its sound server killed or restarted, the device unplugged)
// or stops delivering (its server stalled: the stream's loss rule) does not end the thread: the
// pass that notices feeds nothing, the thread closes the stream and tries to open it again in the
// same format every kReopenInterval, with CaptureLock free all the while, until it opens and frames
// flow again; DeviceLost() tells the window meanwhile. That pass also resets the decimators and
// clears their blocks: the display shows no sound while there is none, instead of the last second
// before the loss, and the sound after it starts on clean rings, never spliced to the old.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "app/FairLock.h"
#include "capture/uDirectSound.h"
#include "core/FrameConversion.h"
#include "core/SampleBuffers.h"

namespace stemora {

// Most bytes one pass reads; the rest waits in the stream for the next pass.
inline constexpr std::int32_t kMaxReadBytes = 65526;
// How often a lost device is tried again. A failed attempt returns at once, so this is a
// matter of not spinning, and of a recovery felt as immediate.
inline constexpr std::chrono::milliseconds kReopenInterval{300};
// LabelSoundMode's caption while the capture device is lost.
inline constexpr std::string_view kMsgDeviceLost = "Звуковое устройство недоступно";

// The format the tuner captures in: scanning `formats` from the last entry down, the first with
// 16, 24 or 32 bits, 1 or 2 channels and 44100, 48000, 88200 or 96000 Hz; 6 (the seventh
// entry, whatever it is) when none matches. The index need not exist.
std::int32_t ChooseCaptureFormat(const TSoundCaptureFormats& formats);

// What the capture thread needs from the main window. The capture thread calls these; the
// first two hand the change over to the window thread and return without waiting for it.
class ITunerWindow {
  public:
    virtual ~ITunerWindow() = default;
    // LabelSoundMode shows `caption`.
    virtual void PostSoundModeCaption(std::string caption) = 0;
    // LabelSoundMode becomes visible.
    virtual void PostSoundModeVisible() = 0;
    // Closes the device check's handles (WaveOutProbe, then ProbeEvent): the last step of the
    // thread's clean-up.
    virtual void CloseDeviceCheck() noexcept = 0;
};

class TTunerThread {
  public:
    // Window thread. Creates the stream on the default device of `backend`, chooses its format
    // and sets the format fields, then starts the thread unless createSuspended (Start runs it
    // later). Raises the stream's errors (EDirectXError, ESoundCaptureStreamError) and, when no
    // format matches and fewer than seven are listed, EListError; no thread runs then.
    // `buffers`, `decimationRate`, `window` and `backend` must outlive this object.
    // decimationRate: values per second of the Spec decimator (SpecHi gets twice that); written
    // by the window thread, read once per pass (see SampleBuffers::FeedPass).
    TTunerThread(SampleBuffers& buffers, const std::atomic<double>& decimationRate,
                 ITunerWindow& window, ISoundBackend& backend = DefaultSoundBackend(),
                 bool createSuspended = false);
    // Requests a stop and waits for the thread, so nothing it uses goes away under it.
    ~TTunerThread();
    TTunerThread(const TTunerThread&) = delete;
    TTunerThread& operator=(const TTunerThread&) = delete;

    // Runs a thread created suspended; does nothing once started.
    void Start();
    // Asks the thread to stop after its current pass (its first, when asked before Start); does
    // not wait. The thread then closes and destroys its stream and calls
    // window.CloseDeviceCheck().
    void RequestStop() noexcept;
    // True once the thread body has ended: stopped, or failed (a failed first Open or a failed
    // pass ends it quietly, without clean-up: the stream stays until this object goes).
    bool Finished() const noexcept { return finished_.load(std::memory_order_acquire); }
    // True from the pass that found the capture device gone until a pass reads frames from it
    // again; readable from any thread.
    bool DeviceLost() const noexcept { return deviceLost_.load(std::memory_order_acquire); }
    // How often capture has come back (frames read again) after a loss.
    std::int32_t Recoveries() const noexcept { return recoveries_.load(std::memory_order_acquire); }

    // Format fields, fixed before the thread starts; readable from any thread.
    std::int32_t Channels() const noexcept { return channels_; }
    std::int32_t BytesPerFrame() const noexcept { return bytesPerFrame_; }
    std::int32_t BytesPerSample() const noexcept { return bytesPerSample_; }
    std::int32_t SampleRate() const noexcept { return sampleRate_; }

    // Guards the decimators' blocks; held by the capture thread for each whole pass. The window
    // thread takes it only to copy the blocks. Fair (FIFO), so a waiting window thread gets it
    // at the end of the current pass even though the capture thread asks again at once.
    FairLock& CaptureLock() noexcept { return captureLock_; }

    // The stream; the constructor's thread may use it until the thread starts, then the capture
    // thread alone (null after its clean-up).
    TSoundCaptureStream* CaptureStream() noexcept { return captureStream_.get(); }

  private:
    void Execute(std::stop_token stop);
    void run(std::stop_token stop) noexcept;
    // One attempt to open the stream again after a loss; false while the device is still away.
    bool reopen() noexcept;

    SampleBuffers& buffers_;
    const std::atomic<double>& decimationRate_;
    ITunerWindow& window_;
    std::unique_ptr<TSoundCaptureStream> captureStream_;
    std::int32_t channels_ = 0;
    FairLock captureLock_;
    std::int32_t bytesPerFrame_ = 0;
    std::int32_t bytesPerSample_ = 0;
    std::int32_t sampleRate_ = 0;
    std::int32_t maxReadBytes_ = 0;  // whole frames only
    FrameConverter convert_ = nullptr;
    bool stopRequested_ = false;  // window thread only
    std::atomic<bool> finished_{false};
    std::atomic<bool> deviceLost_{false};
    std::atomic<std::int32_t> recoveries_{0};
    std::jthread thread_;  // last: it goes first, before anything the body touches
};

}  // namespace stemora
