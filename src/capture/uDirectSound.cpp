#include "capture/uDirectSound.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <thread>

namespace stemora {

namespace {

constexpr std::int32_t kFormatRecordSize = static_cast<std::int32_t>(sizeof(WaveFormat));
constexpr std::uint32_t kMinBufferBytes = 8000;
constexpr auto kReadWaitStep = std::chrono::milliseconds(50);

// number * multiplier / divisor through a 64-bit intermediate, rounded to the nearest (halves
// away from zero); -1 for a zero divisor or a result outside 32 bits.
std::int32_t MulDiv(std::int32_t number, std::int32_t multiplier, std::int32_t divisor) noexcept {
    if (divisor == 0) {
        return -1;
    }
    const std::int64_t product = static_cast<std::int64_t>(number) * multiplier;
    const bool negative = (product < 0) != (divisor < 0);
    const std::int64_t absProduct = product < 0 ? -product : product;
    const std::int64_t absDivisor = divisor < 0 ? -static_cast<std::int64_t>(divisor) : divisor;
    std::int64_t quotient = (absProduct + absDivisor / 2) / absDivisor;
    if (negative) {
        quotient = -quotient;
    }
    if (quotient > INT32_MAX || quotient < INT32_MIN) {
        return -1;
    }
    return static_cast<std::int32_t>(quotient);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Formats

WaveFormat& MakePcmFormat(WaveFormat& format, std::int32_t rate, std::uint16_t bits,
                          std::uint16_t channels) noexcept {
    format.wFormatTag = 1;
    format.nChannels = channels;
    format.nSamplesPerSec = static_cast<std::uint32_t>(rate);
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<std::uint16_t>(channels * (bits / 8));
    format.nAvgBytesPerSec =
        static_cast<std::uint32_t>(format.nBlockAlign) * static_cast<std::uint32_t>(rate);
    format.cbSize = 0;
    return format;
}

TSoundCaptureFormat& TSoundCaptureFormats::Items(std::int32_t i) {
    if (i < 0 || i >= Count()) {
        throw EListError(FormatText(kMsgListIndex, static_cast<std::int64_t>(i)));
    }
    return *items_[static_cast<std::size_t>(i)];
}

const TSoundCaptureFormat& TSoundCaptureFormats::Items(std::int32_t i) const {
    return const_cast<TSoundCaptureFormats*>(this)->Items(i);
}

TSoundCaptureFormat& TSoundCaptureFormats::Add() {
    items_.push_back(std::make_unique<TSoundCaptureFormat>());
    return *items_.back();
}

void ProbeCaptureFormats(ISoundCapture& device, TSoundCaptureFormats& formats) {
    for (const std::int32_t rate : kCandidateRates) {
        for (const std::int32_t bits : kCandidateBits) {
            for (const std::int32_t channels : kCandidateChannels) {
                WaveFormat format{};
                MakePcmFormat(format, rate, static_cast<std::uint16_t>(bits),
                              static_cast<std::uint16_t>(channels));
                CaptureBufferDesc desc{};
                desc.dwSize = kCaptureBufferDescSize;
                desc.dwBufferBytes = format.nAvgBytesPerSec;
                desc.lpwfxFormat = &format;
                RefPtr<ISoundCaptureBuffer> trial;
                const HResult result = device.CreateCaptureBuffer(&desc, trial.Put(), nullptr);
                // Only exactly 0 with a buffer counts; a buffer handed out on failure is released
                // all the same.
                const bool accepted = result == kOk && trial;
                trial.Reset();
                if (accepted) {
                    TSoundCaptureFormat& item = formats.Add();
                    item.SamplesPerSec = static_cast<std::int32_t>(format.nSamplesPerSec);
                    item.BitsPerSample = format.wBitsPerSample;
                    item.Channels = format.nChannels;
                }
            }
        }
    }
}

HResult CreateCaptureDevice(ISoundBackend& backend, const DeviceGuid* deviceId,
                            ISoundCapture** device, void* outer) {
    if (device != nullptr) {
        *device = nullptr;
    }
    try {
        return backend.DirectSoundCaptureCreate(deviceId, device, outer);
    } catch (...) {
        // The cause (usually "<library> not loaded") is not shown to the user.
        throw EDirectXError(std::string(kMsgNecessaryDirectX5));
    }
}

// ---------------------------------------------------------------------------------------------
// Wave streams

std::int32_t TCustomWaveStream::Read(void* buffer, std::int32_t count) {
    const std::int32_t n = ReadData(buffer, count);
    position_ += n;
    return n;
}

std::int32_t TCustomWaveStream::Write(const void* buffer, std::int32_t count) {
    const std::int64_t size = Size();
    if (position_ > size) {
        position_ = size;
    }
    const std::int32_t n = WriteData(buffer, count);
    position_ += n;
    return n;
}

std::int32_t TCustomWaveStream::ReadData(void* /*buffer*/, std::int32_t /*count*/) {
    return 0;
}

std::int32_t TCustomWaveStream::WriteData(const void* /*buffer*/, std::int32_t /*count*/) {
    return 0;
}

WaveFormat* TCustomWaveStream2::GetFormat() {
    // The block is a std::byte array, which provides storage for the (packed, byte-aligned)
    // record.
    return formatSize_ > 0 ? reinterpret_cast<WaveFormat*>(format_.get()) : nullptr;
}

void TCustomWaveStream2::SetFormatSize(std::int32_t size) {
    size = std::max(size, 0);
    if (size == formatSize_) {
        return;
    }
    if (size == 0) {
        format_.reset();
        formatSize_ = 0;
        return;
    }
    const auto capacity = static_cast<std::size_t>(std::max(size, kFormatRecordSize));
    auto block = std::make_unique<std::byte[]>(capacity);  // zeroed
    if (format_) {
        std::memcpy(block.get(), format_.get(),
                    static_cast<std::size_t>(std::min(size, formatSize_)));
    }
    format_ = std::move(block);
    formatSize_ = size;
}

// ---------------------------------------------------------------------------------------------
// Capture stream

TSoundCaptureStream::TSoundCaptureStream(const DeviceGuid* deviceId, ISoundBackend& backend,
                                         IWindowThread* windowThread)
    : backend_(backend), windowThread_(windowThread) {
    const HResult result = CreateCaptureDevice(backend_, deviceId, device_.Put(), nullptr);
    if (result != kOk || !device_) {
        throw ESoundCaptureStreamError(FormatText(kMsgCannotInitialize, "DirectSoundCapture"));
    }
    ProbeCaptureFormats(*device_.Get(), formats_);
}

TSoundCaptureStream::~TSoundCaptureStream() {
    try {
        Close();
    } catch (...) {
        // A destructor reports nothing; the references go below all the same.
    }
    formats_.Clear();
    buffer_.Reset();
    device_.Reset();
}

bool TSoundCaptureStream::Active() const {
    std::lock_guard lock(mutex_);
    return active_;
}

bool TSoundCaptureStream::DeviceLost() const {
    std::lock_guard lock(mutex_);
    return active_ && deviceLost_;
}

void TSoundCaptureStream::Open() {
    std::unique_lock lock(mutex_);
    openLocked(lock);
}

void TSoundCaptureStream::openLocked(std::unique_lock<std::mutex>& lock) {
    closeLocked(lock);
    active_ = true;
    try {
        SetFormatSize(kFormatRecordSize);
        const TSoundCaptureFormat& item = formats_.Items(formatIndex_);
        WaveFormat& format = *GetFormat();
        MakePcmFormat(format, item.SamplesPerSec, static_cast<std::uint16_t>(item.BitsPerSample),
                      static_cast<std::uint16_t>(item.Channels));
        const std::int32_t wanted =
            MulDiv(static_cast<std::int32_t>(format.nAvgBytesPerSec), bufferLength_, 1000);
        bufferSize_ =
            std::max(wanted < 0 ? 0u : static_cast<std::uint32_t>(wanted), kMinBufferBytes);
        CaptureBufferDesc desc{};
        desc.dwSize = kCaptureBufferDescSize;
        desc.dwBufferBytes = bufferSize_;
        desc.lpwfxFormat = &format;
        buffer_.Reset();
        if (device_->CreateCaptureBuffer(&desc, buffer_.Put(), nullptr) != kOk || !buffer_) {
            throw ESoundCaptureStreamError(FormatText(kMsgCannotMake, "Sound Capture Buffer"));
        }
        readPosition_ = 0;
        buffer_->Start(kStartLooping);
        // A new buffer starts its own stall clock: opening takes time of its own.
        stallCursor_ = 0;
        cursorMoved_ = std::chrono::steady_clock::now();
        lastQuery_ = cursorMoved_;
        if (onNotify_) {
            notifier_ = std::make_unique<TSoundCaptureStreamNotify>(*this);
            notifier_->Start();
        }
    } catch (...) {
        closeLocked(lock);
        throw;
    }
}

void TSoundCaptureStream::Close() {
    std::unique_lock lock(mutex_);
    closeLocked(lock);
}

void TSoundCaptureStream::closeLocked(std::unique_lock<std::mutex>& lock) {
    // Notification threads are stopped without the lock held: a step in flight (or a thread's
    // own closing) needs it to finish. One whose handler is running on this very thread cannot
    // be waited for here; it is told to stop and joined at a later Open, Close or destruction.
    std::vector<std::unique_ptr<TSoundCaptureStreamNotify>> finishing;
    for (auto& retired : retiredNotifiers_) {
        if (!retired->inStepOnCallingThread()) {
            finishing.push_back(std::move(retired));
        }
    }
    std::erase(retiredNotifiers_, nullptr);
    if (notifier_) {
        if (notifier_->inStepOnCallingThread()) {
            notifier_->requestStop();
            retiredNotifiers_.push_back(std::move(notifier_));
        } else {
            finishing.push_back(std::move(notifier_));
        }
    }
    if (!finishing.empty()) {
        lock.unlock();
        finishing.clear();
        lock.lock();
    }
    deviceLost_ = false;
    if (!active_) {
        return;
    }
    active_ = false;
    releaseBufferLocked();
}

void TSoundCaptureStream::releaseBufferLocked() noexcept {
    if (buffer_) {
        try {
            buffer_->Stop();
        } catch (...) {
            // The result of stopping is not examined.
        }
    }
    buffer_.Reset();
}

void TSoundCaptureStream::closeAfterNotifierFailure(
    const TSoundCaptureStreamNotify* notifier) noexcept {
    std::lock_guard lock(mutex_);
    // Only the current notifier closes the stream; one being shut down by the owner leaves that
    // to the owner. The thread object itself stays with the stream, which joins it later.
    if (notifier_.get() != notifier || !active_) {
        return;
    }
    active_ = false;
    releaseBufferLocked();
}

std::int32_t TSoundCaptureStream::Available() {
    std::lock_guard lock(mutex_);
    return availableLocked();
}

std::int32_t TSoundCaptureStream::availableLocked() noexcept {
    return static_cast<std::int32_t>(arrivedLocked().value_or(0));
}

std::optional<std::uint32_t> TSoundCaptureStream::arrivedLocked() noexcept {
    if (!active_ || !buffer_) {
        return std::nullopt;
    }
    std::uint32_t captureCursor = 0;
    std::uint32_t readCursor = 0;
    deviceLost_ = true;
    try {
        if (buffer_->GetCurrentPosition(&captureCursor, &readCursor) != kOk) {
            return std::nullopt;
        }
    } catch (...) {
        return std::nullopt;
    }
    const auto now = std::chrono::steady_clock::now();
    // A cursor that moved has delivered. So has one not looked at for a whole timeout: a lap of
    // the circular buffer could have brought it back to where it was.
    if (readCursor != stallCursor_ || now - lastQuery_ >= kStallTimeout) {
        stallCursor_ = readCursor;
        cursorMoved_ = now;
    }
    lastQuery_ = now;
    if (now - cursorMoved_ >= kStallTimeout) {
        return std::nullopt;
    }
    deviceLost_ = false;
    // A cursor outside the buffer would make the count (and the later lock) run off its end.
    if (readCursor >= bufferSize_) {
        return 0;
    }
    return readPosition_ <= readCursor ? readCursor - readPosition_
                                       : bufferSize_ - readPosition_ + readCursor;
}

std::int32_t TSoundCaptureStream::ReadData(void* buffer, std::int32_t count) {
    std::unique_lock lock(mutex_);
    if (!active_) {
        openLocked(lock);
    }
    if (count <= 0) {
        return 0;
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    const auto total = static_cast<std::uint32_t>(count);
    std::uint32_t done = 0;
    while (done < total) {
        // A device that can no longer report its position delivers nothing more: end the
        // copying like a failed lock instead of waiting for ever (the capture thread would
        // never see its stop request).
        const std::optional<std::uint32_t> arrived = arrivedLocked();
        if (!arrived) {
            break;
        }
        const std::uint32_t n = std::min(total - done, *arrived);
        if (n > 0) {
            void* ptr1 = nullptr;
            void* ptr2 = nullptr;
            std::uint32_t bytes1 = 0;
            std::uint32_t bytes2 = 0;
            HResult locked = kErrFail;
            try {
                locked = buffer_->Lock(readPosition_, n, &ptr1, &bytes1, &ptr2, &bytes2, 0);
            } catch (...) {
                locked = kErrFail;
            }
            if (locked != kOk) {
                break;
            }
            // Never copy more than was asked for, whatever the back end handed out.
            const std::uint32_t take1 = ptr1 != nullptr ? std::min(bytes1, n) : 0;
            const std::uint32_t take2 = ptr2 != nullptr ? std::min(bytes2, n - take1) : 0;
            if (take1 > 0) {
                std::memcpy(out + done, ptr1, take1);
            }
            if (take2 > 0) {
                std::memcpy(out + done + take1, ptr2, take2);
            }
            done += take1 + take2;
            try {
                buffer_->Unlock(ptr1, bytes1, ptr2, bytes2);
            } catch (...) {
                // The result of unlocking is not examined.
            }
            readPosition_ = static_cast<std::uint32_t>(
                (static_cast<std::uint64_t>(readPosition_) + take1 + take2) % bufferSize_);
        }
        if (done < total) {
            // Wait without the lock so that the notification thread is not held up; a stream
            // closed meanwhile ends the copying like a failed lock.
            lock.unlock();
            std::this_thread::sleep_for(kReadWaitStep);
            lock.lock();
            if (!active_ || !buffer_) {
                break;
            }
        }
    }
    if (done < total) {
        const WaveFormat* format = GetFormat();
        const int silence = format != nullptr && format->wBitsPerSample == 8 ? 0x80 : 0;
        std::memset(out + done, silence, total - done);
    }
    return count;
}

std::int32_t TSoundCaptureStream::WriteData(const void* /*buffer*/, std::int32_t /*count*/) {
    return 0;
}

void TSoundCaptureStream::DoNotify() {
    if (onNotify_) {
        onNotify_(*this);
    }
}

}  // namespace stemora
