#include "app/uTuner.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

namespace stemora {

std::int32_t ChooseCaptureFormat(const TSoundCaptureFormats& formats) {
    for (std::int32_t i = formats.Count() - 1; i >= 0; --i) {
        const TSoundCaptureFormat& f = formats.Items(i);
        const bool bits = f.BitsPerSample == 16 || f.BitsPerSample == 24 || f.BitsPerSample == 32;
        const bool channels = f.Channels == 1 || f.Channels == 2;
        const bool rate = f.SamplesPerSec == 44100 || f.SamplesPerSec == 48000 ||
                          f.SamplesPerSec == 88200 || f.SamplesPerSec == 96000;
        if (bits && channels && rate) {
            return i;
        }
    }
    return 6;
}

TTunerThread::TTunerThread(SampleBuffers& buffers, const std::atomic<double>& decimationRate,
                           ITunerWindow& window, ISoundBackend& backend, bool createSuspended)
    : buffers_(buffers), decimationRate_(decimationRate), window_(window) {
    captureStream_ = std::make_unique<TSoundCaptureStream>(nullptr, backend);
    captureStream_->SetFormatIndex(6);
    captureStream_->SetFormatIndex(ChooseCaptureFormat(captureStream_->Formats()));

    // Raises EListError when the index does not exist (fewer than seven formats, none chosen).
    const TSoundCaptureFormat& format =
        captureStream_->Formats().Items(captureStream_->FormatIndex());
    bytesPerSample_ = format.BitsPerSample / 8;
    bytesPerFrame_ = bytesPerSample_ * format.Channels;
    sampleRate_ = format.SamplesPerSec;
    channels_ = format.Channels;
    convert_ = FrameConverterFor(bytesPerSample_, channels_);
    if (convert_ == nullptr) {
        throw ESoundCaptureStreamError(FormatText(kMsgCannotMake, "Sound Capture Buffer"));
    }
    // A cap that splits a frame would shift every later frame boundary, so read whole frames.
    maxReadBytes_ = kMaxReadBytes - kMaxReadBytes % bytesPerFrame_;

    if (!createSuspended) {
        Start();
    }
}

TTunerThread::~TTunerThread() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

void TTunerThread::Start() {
    if (!thread_.joinable() && !finished_.load(std::memory_order_acquire)) {
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        // A thread not yet started has no stop state to keep an earlier request in.
        if (stopRequested_) {
            thread_.request_stop();
        }
    }
}

void TTunerThread::RequestStop() noexcept {
    stopRequested_ = true;
    thread_.request_stop();
}

void TTunerThread::run(std::stop_token stop) noexcept {
    try {
        Execute(stop);
    } catch (...) {
        // A failed Open or pass ends the thread quietly; it reports nothing itself.
    }
    finished_.store(true, std::memory_order_release);
}

bool TTunerThread::reopen() noexcept {
    try {
        // In the format chosen at the start; a failure leaves the stream closed.
        captureStream_->Open();
        return true;
    } catch (...) {
        return false;
    }
}

void TTunerThread::Execute(std::stop_token stop) {
    // Lives for the whole run: nothing is allocated per pass.
    std::array<std::uint8_t, kMaxReadBytes> readBuffer;
    float* const sampleBuffer = buffers_.SampleBuffer();
    TSoundCaptureStream& stream = *captureStream_;

    buffers_.ResetDecimators();
    window_.PostSoundModeCaption("---");
    stream.Open();
    window_.PostSoundModeVisible();

    using Clock = std::chrono::steady_clock;
    bool lost = false;
    // Reopened after a loss, but no frame read since: the device may be open and still silent
    // (a stalled server), so the window keeps showing the loss until sound really flows.
    bool awaitingFrames = false;
    Clock::time_point nextReopen{};
    do {
        if (lost) {
            // No pass while the device is away: nothing to feed, and the lock stays free. Short
            // naps keep a stop request answered within a pass's time.
            const Clock::time_point now = Clock::now();
            if (now < nextReopen) {
                std::this_thread::sleep_for(
                    std::min<Clock::duration>(nextReopen - now, std::chrono::milliseconds(5)));
            } else if (reopen()) {
                lost = false;
                awaitingFrames = true;
            } else {
                nextReopen = Clock::now() + kReopenInterval;
            }
            continue;
        }
        std::int32_t frames = 0;
        {
            std::lock_guard lock(captureLock_);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::int32_t count = stream.Available();
            if (count > maxReadBytes_) {
                count = maxReadBytes_;
            } else if (count < 0) {
                count = 0;
            }
            stream.Read(readBuffer.data(), count);
            // A read that the loss cut short holds silence in place of sound: the decimators get
            // nothing from this pass rather than a made-up stretch.
            lost = stream.DeviceLost();
            // The sound before the loss goes too: the display must not show it as if it were
            // still coming in, and the new sound starts on clean rings.
            frames = lost ? 0 : count / bytesPerFrame_;
            if (lost) {
                buffers_.ResetDecimators();
            }
            convert_(readBuffer.data(), frames, sampleBuffer);
            // Also with no frames, so a note change resets the rings even while the device is
            // quiet. One rate for the whole pass, read once, so a note change cannot split the
            // two feeds.
            buffers_.FeedPass(sampleRate_, frames, decimationRate_.load(std::memory_order_relaxed));
        }
        if (lost) {
            awaitingFrames = false;
            deviceLost_.store(true, std::memory_order_release);
            window_.PostSoundModeCaption(std::string(kMsgDeviceLost));
            // Closed outside the lock: stopping a dead stream may take the sound library a while.
            stream.Close();
            nextReopen = Clock::now() + kReopenInterval;
        } else if (awaitingFrames && frames > 0) {
            awaitingFrames = false;
            recoveries_.fetch_add(1, std::memory_order_acq_rel);
            deviceLost_.store(false, std::memory_order_release);
        }
    } while (!stop.stop_requested());

    // Clean-up. CaptureLock itself lives as long as this object, so a window that still takes
    // it never finds it gone.
    stream.Close();
    captureStream_.reset();
    window_.CloseDeviceCheck();
}

}  // namespace stemora
