#pragma once

// The capture layer: PCM format records, the list of formats the capture device accepts, and
// the capture stream that turns a sound back end's circular one-second capture buffer into a
// readable byte stream. Its errors live in CaptureErrors.h, its notification thread in
// SoundCaptureNotify.h; this header brings both.
//
// Threads: a stream is used by one thread at a time (its owner). The only other thread that
// touches it is its own notification thread, which exists only while OnNotify is assigned and
// the stream is open; the stream guards itself against that thread internally.

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/CaptureErrors.h"
#include "capture/SoundCaptureNotify.h"
#include "capture/SoundPlatform.h"

namespace stemora {

// ---------------------------------------------------------------------------------------------
// Counted references

// Holds one reference to a back-end object and gives it back when it goes away.
template <class T>
class RefPtr {
  public:
    RefPtr() noexcept = default;
    RefPtr(const RefPtr&) = delete;
    RefPtr& operator=(const RefPtr&) = delete;
    ~RefPtr() { Reset(); }

    T* Get() const noexcept { return object_; }
    T* operator->() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Releases the held reference (if any), then offers the slot for an out-parameter.
    T** Put() noexcept {
        Reset();
        return &object_;
    }
    void Reset() noexcept {
        if (object_ != nullptr) {
            T* object = object_;
            object_ = nullptr;
            object->Release();
        }
    }

  private:
    T* object_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Formats

// Fills `format` as linear PCM: block align channels * (bits / 8), bytes per second block align
// * rate, no extra bytes. Returns `format`.
WaveFormat& MakePcmFormat(WaveFormat& format, std::int32_t rate, std::uint16_t bits,
                          std::uint16_t channels) noexcept;

// One accepted capture format.
struct TSoundCaptureFormat {
    std::int32_t BitsPerSample = 0;  // 8, 16, 24 or 32
    std::int32_t Channels = 0;       // 1 or 2
    std::int32_t SamplesPerSec = 0;  // Hz
};

// The ordered list of accepted formats; owns its items. Items keep their addresses while the
// list lives.
class TSoundCaptureFormats {
  public:
    TSoundCaptureFormats() = default;
    TSoundCaptureFormats(const TSoundCaptureFormats&) = delete;
    TSoundCaptureFormats& operator=(const TSoundCaptureFormats&) = delete;

    std::int32_t Count() const noexcept { return static_cast<std::int32_t>(items_.size()); }
    // The item at 0-based index i; raises EListError "List index out of bounds (i)" outside
    // 0..Count()-1.
    TSoundCaptureFormat& Items(std::int32_t i);
    const TSoundCaptureFormat& Items(std::int32_t i) const;
    // Appends a new zeroed item and returns it.
    TSoundCaptureFormat& Add();
    void Clear() noexcept { items_.clear(); }

  private:
    std::vector<std::unique_ptr<TSoundCaptureFormat>> items_;
};

// The candidate tables, probed rate outermost, channels innermost (64 candidates).
inline constexpr std::array<std::int32_t, 8> kCandidateRates = {8000,  11025, 22050, 33075,
                                                                44100, 48000, 88200, 96000};
inline constexpr std::array<std::int32_t, 4> kCandidateBits = {8, 16, 24, 32};
inline constexpr std::array<std::int32_t, 2> kCandidateChannels = {1, 2};

// Appends to `formats`, in candidate order, every candidate for which `device` creates a
// one-second capture buffer with result exactly 0. Each trial buffer is released before the
// next is tried. Refusals are silent.
void ProbeCaptureFormats(ISoundCapture& device, TSoundCaptureFormats& formats);

// ---------------------------------------------------------------------------------------------
// Device access (GetLibraryProc lives in capture/LibraryLoader.h)

// Clears *device, then asks `backend` for the capture device. Returns the back end's result code
// unchanged (0 = success, *device then holds one reference). Any exception raised on the way
// (library missing, entry missing, back end failure) becomes EDirectXError
// "Necessary since DirectX5".
HResult CreateCaptureDevice(ISoundBackend& backend, const DeviceGuid* deviceId,
                            ISoundCapture** device, void* outer);

// ---------------------------------------------------------------------------------------------
// Streams

// A byte stream of wave data. Position counts the bytes that Read and Write have passed.
class TCustomWaveStream {
  public:
    TCustomWaveStream() = default;
    TCustomWaveStream(const TCustomWaveStream&) = delete;
    TCustomWaveStream& operator=(const TCustomWaveStream&) = delete;
    virtual ~TCustomWaveStream() = default;

    std::int64_t Position() const noexcept { return position_; }
    void SetPosition(std::int64_t position) noexcept { position_ = position; }
    // The stream's size for Write's clamp. Streams without a size of their own report Position,
    // so Write never moves Position back.
    virtual std::int64_t Size() const { return position_; }

    // Delivers up to count bytes into buffer (which holds at least count bytes) via ReadData and
    // advances Position by what was delivered.
    std::int32_t Read(void* buffer, std::int32_t count);
    // Clamps Position to Size(), passes the bytes to WriteData and advances Position by what was
    // taken.
    std::int32_t Write(const void* buffer, std::int32_t count);

    // Bytes ready to read; -1 when the stream cannot tell.
    virtual std::int32_t Available() { return -1; }
    // The current format record, or null before one exists.
    virtual WaveFormat* GetFormat() = 0;
    // Bytes in the current format record.
    virtual std::int32_t GetFormatSize() { return 0; }
    virtual std::int32_t ReadData(void* buffer, std::int32_t count);
    virtual void SetFormatSize(std::int32_t size) = 0;
    virtual std::int32_t WriteData(const void* buffer, std::int32_t count);

  private:
    std::int64_t position_ = 0;
};

// A wave stream that owns its format record as a memory block of a settable size.
class TCustomWaveStream2 : public TCustomWaveStream {
  public:
    // Null until SetFormatSize gives it a size above 0.
    WaveFormat* GetFormat() override;
    std::int32_t GetFormatSize() override { return formatSize_; }
    // Resizes the record, keeping the leading bytes; new bytes are zero. Sizes below 0 count as
    // 0. The block always spans at least a whole WaveFormat, so reading the record through
    // GetFormat never leaves it.
    void SetFormatSize(std::int32_t size) override;

  private:
    std::unique_ptr<std::byte[]> format_;
    std::int32_t formatSize_ = 0;
};

// An open capture stream whose device delivers no new frame for this long counts as lost. The
// device's own read cursor is judged against the monotonic clock, not the reader's passes, so a
// reader delayed by a loaded machine raises no alarm, and a device that delivers in periods of
// a few hundred milliseconds is well inside it.
inline constexpr std::chrono::milliseconds kStallTimeout{1000};

// Handler called with the stream as sender while data waits (window thread).
using TSoundNotifyEvent = std::function<void(TSoundCaptureStream& sender)>;

// The capture stream over a sound back end's capture device.
//
// Construction opens the device (default device when deviceId is null) and probes the 64
// candidate formats into Formats(). Open creates a one-second capture buffer in
// Formats().Items(FormatIndex()) and starts recording; Available and Read then hand out the
// recorded bytes in order. The back end (and the window thread, if given) must outlive the
// stream.
//
// Notifications: with OnNotify assigned, Open starts a TSoundCaptureStreamNotify that calls the
// handler on the window thread every 50 ms while bytes wait. The handler may read, close or
// reopen its stream, but must not destroy it. Close and destruction wait for the notification
// thread; on the window thread they keep serving its steps meanwhile, on another thread the
// window thread must keep serving until they return. A handler that raises has its error shown
// through the window thread; the notifications stop and the stream closes itself (all under the
// stream's internal lock, so the owner's calls stay safe).
class TSoundCaptureStream : public TCustomWaveStream2 {
  public:
    // Raises EDirectXError "Necessary since DirectX5" when the back end's library cannot be
    // used, ESoundCaptureStreamError "DirectSoundCapture cannot be initialized" when the device
    // cannot be opened. windowThread is where OnNotify runs; null runs it on the notification
    // thread itself.
    explicit TSoundCaptureStream(const DeviceGuid* deviceId = nullptr,
                                 ISoundBackend& backend = DefaultSoundBackend(),
                                 IWindowThread* windowThread = nullptr);
    // Closes the stream (waiting for its notification thread) and releases the device.
    ~TSoundCaptureStream() override;

    // Bytes captured and not yet read; 0 when closed or when the position query fails.
    std::int32_t Available() override;
    // Opens the stream if closed (its errors go to the caller), then copies count bytes in
    // recording order, waiting in 50 ms steps for bytes that have not arrived yet (a read of no
    // more than Available() never waits). A failed lock ends the copying and the rest is
    // silence (0x80 for 8-bit, else 0). Returns count; a count of 0 or below copies nothing and
    // returns 0.
    std::int32_t ReadData(void* buffer, std::int32_t count) override;
    // Takes nothing.
    std::int32_t WriteData(const void* buffer, std::int32_t count) override;

    // Closes, then creates the capture buffer for Formats().Items(FormatIndex()), resets
    // ReadPosition to 0, starts recording and, with OnNotify assigned, the notification thread.
    // Raises EListError for an index outside Formats(), ESoundCaptureStreamError
    // "Sound Capture Buffer cannot be made" when the buffer cannot be created; the stream is
    // then closed.
    void Open();
    // Stops the notification thread (waiting for it), stops recording and releases the buffer.
    // Does nothing on a closed stream.
    void Close();

    std::int32_t FormatIndex() const noexcept { return formatIndex_; }
    void SetFormatIndex(std::int32_t index) noexcept { formatIndex_ = index; }
    TSoundCaptureFormats& Formats() noexcept { return formats_; }
    const TSoundCaptureFormats& Formats() const noexcept { return formats_; }
    const TSoundNotifyEvent& OnNotify() const noexcept { return onNotify_; }
    // Decides at the next Open whether a notification thread runs. Set it while the stream is
    // closed or from the thread that runs the handler.
    void SetOnNotify(TSoundNotifyEvent handler) { onNotify_ = std::move(handler); }
    // Calls OnNotify with this stream as sender, if assigned.
    virtual void DoNotify();

    bool Active() const;
    // True while the stream is open and its device stopped answering at the last position
    // query (Available, or the last one a read made), or answers but has delivered no new frame
    // for kStallTimeout (its sound server stopped); a read that ended so was cut short and
    // padded with silence, and a stalled stream hands out nothing more. A query that finds the
    // device answering and not stalled, Open and Close clear it.
    bool DeviceLost() const;
    std::int32_t BufferLength() const noexcept { return bufferLength_; }  // ms
    std::uint32_t BufferSize() const noexcept { return bufferSize_; }     // bytes
    std::uint32_t ReadPosition() const noexcept { return readPosition_; }

  private:
    friend class TSoundCaptureStreamNotify;

    void openLocked(std::unique_lock<std::mutex>& lock);
    void closeLocked(std::unique_lock<std::mutex>& lock);
    void releaseBufferLocked() noexcept;
    std::int32_t availableLocked() noexcept;
    // Bytes arrived and not read, or nullopt when the device cannot say (failed query).
    std::optional<std::uint32_t> arrivedLocked() noexcept;
    // Called by the notification thread when a handler failed and its run has ended.
    void closeAfterNotifierFailure(const TSoundCaptureStreamNotify* notifier) noexcept;

    ISoundBackend& backend_;
    IWindowThread* windowThread_;
    // Guards the buffer, Active and ReadPosition against the notification thread's close.
    mutable std::mutex mutex_;
    RefPtr<ISoundCaptureBuffer> buffer_;
    std::int32_t bufferLength_ = 1000;
    std::uint32_t readPosition_ = 0;
    std::uint32_t bufferSize_ = 0;
    RefPtr<ISoundCapture> device_;
    std::int32_t formatIndex_ = 0;
    bool active_ = false;
    bool deviceLost_ = false;
    // The stall rule's view of the device: its read cursor at the last query, when that cursor
    // last moved, and when the last query was made (monotonic clock).
    std::uint32_t stallCursor_ = 0;
    std::chrono::steady_clock::time_point cursorMoved_{};
    std::chrono::steady_clock::time_point lastQuery_{};
    std::unique_ptr<TSoundCaptureStreamNotify> notifier_;
    // Notification threads whose handler closed their own stream; joined at the next chance.
    std::vector<std::unique_ptr<TSoundCaptureStreamNotify>> retiredNotifiers_;
    TSoundNotifyEvent onNotify_;
    TSoundCaptureFormats formats_;
};

}  // namespace stemora
