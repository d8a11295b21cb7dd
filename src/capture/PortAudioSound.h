#pragma once
// The real capture back end: PortAudio, loaded at run time and never linked. The start-up check
// of the output device (PortAudioDeviceCheck, at the end) shares its entries and its lock.
//
// The library is found through GetLibraryProc (it stays loaded until the process ends) and all
// its entries are resolved once, on the first DirectSoundCaptureCreate, into a table of function
// pointers; nothing is resolved on an audio thread. When the library or one of its entries is
// missing, DirectSoundCaptureCreate throws, so a machine without PortAudio still starts and the
// capture stream's constructor reports EDirectXError "Necessary since DirectX5".
//
// A device is PortAudio's default input device. PortAudio is initialised when the first device
// of this back end is created and terminated when the last one (with its buffers) is released,
// so a sound server started after an earlier session is seen by the next one. ALSA's and JACK's
// start-up chatter is silenced before PortAudio initialises.
//
// A capture buffer is one PortAudio input stream, opened at creation in the requested format
// (8-bit unsigned, 16-, 24- or 32-bit signed, mono or stereo, the requested rate) with periods
// of a tenth of a second (a quarter of the buffer at most); its callback copies every frame into
// a CaptureRing of exactly dwBufferBytes bytes. A stream that PortAudio ends while it runs (its
// sound server killed or restarted, the device gone: PortAudio notices within tens of
// milliseconds) answers GetCurrentPosition with kErrBufferLost from then on, and so does one
// that could not start; stopping and releasing it does not hang. The device itself
// stays usable: a new buffer opens as soon as the server is back (PortAudio needs no
// re-initialising for that), and fails at once while it is down.
//
// Threads: DirectSoundCaptureCreate and CreateCaptureBuffer may run on any thread; one thread at
// a time uses a given buffer (see the cursor contract of CaptureRing). PortAudio's callback runs
// on its own thread and never blocks, allocates, locks or throws.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/DeviceCheck.h"
#include "capture/SoundPlatform.h"

namespace stemora {

inline constexpr const char* kPortAudioLibrary = "libportaudio.so.2";

// The circular buffer behind a capture buffer: `Size()` bytes, filled by one producer thread and
// read by one consumer thread.
//
// Cursor contract (single producer, single consumer): the producer alone calls Record. It copies
// the new bytes in, wrapping at the end, and only then publishes the new end of the data with a
// release store. The consumer reads Cursor() (an acquire load) and may then copy any bytes from
// its own read offset up to that cursor; when done with them it calls Unlocked() (a release
// store that the producer acquires before writing again), so its reads are ordered before the
// producer's later overwriting of the same bytes one buffer on. The producer never waits for the
// consumer: a consumer more than Size() bytes behind finds its unread bytes overwritten without
// notice, as with the platform's capture buffers, so it must keep within one buffer of the
// cursor. Cursor() equal to the consumer's offset means nothing new (a buffer that filled
// completely counts as empty).
class CaptureRing {
  public:
    // size > 0 bytes, filled with the silence byte (0x80 for 8-bit sound, else 0). Throws
    // std::bad_alloc when the memory is not there.
    CaptureRing(std::uint32_t size, std::uint8_t silence);

    std::uint32_t Size() const noexcept { return size_; }

    // Producer: appends `bytes` bytes from `input` (silence when input is null). Of more than
    // Size() bytes only the newest Size() remain, and the cursor still moves by `bytes`
    // modulo Size(). Never blocks, allocates or locks.
    void Record(const std::uint8_t* input, std::size_t bytes) noexcept;

    // Consumer: the offset up to which the data is complete, 0..Size()-1.
    std::uint32_t Cursor() const noexcept { return cursor_.load(std::memory_order_acquire); }

    // Consumer: done with every piece handed out so far.
    void Unlocked() noexcept { unlocks_.fetch_add(1, std::memory_order_release); }

    // Consumer: `bytes` bytes from `offset` as up to two pieces, the second from offset 0 when
    // the range runs past the end (else *ptr2 null, *bytes2 0). ptr2 and bytes2 may both be
    // null, and then the range must not wrap. kErrInvalidArg for offset >= Size(),
    // bytes > Size() or missing places.
    HResult Pieces(std::uint32_t offset, std::uint32_t bytes, void** ptr1, std::uint32_t* bytes1,
                   void** ptr2, std::uint32_t* bytes2) noexcept;

  private:
    const std::unique_ptr<std::uint8_t[]> bytes_;
    const std::uint32_t size_;
    const std::uint8_t silence_;
    std::atomic<std::uint32_t> cursor_{0};
    std::atomic<std::uint32_t> unlocks_{0};
};

class PortAudioBackend final : public ISoundBackend {
  public:
    // libraryName: the file name handed to the loader unchanged; tests name a missing one.
    explicit PortAudioBackend(std::string libraryName = kPortAudioLibrary);
    // Every device and buffer made through this back end must be released first.
    ~PortAudioBackend() override;
    PortAudioBackend(const PortAudioBackend&) = delete;
    PortAudioBackend& operator=(const PortAudioBackend&) = delete;

    // deviceId must be null (the default input device); a given identifier is refused with
    // kErrInvalidArg, as is a non-null outer. Answers kErrFail when PortAudio cannot
    // initialise or has no default input device. Throws when the library cannot be used.
    HResult DirectSoundCaptureCreate(const DeviceGuid* deviceId, ISoundCapture** device,
                                     void* outer) override;

    // The resolved entries (defined in the source, free of PortAudio types here).
    struct Api;

  private:
    friend class PortAudioDevice;
    friend class PortAudioDeviceCheck;

    // Callers of resolve, acquireSession and releaseSessionLocked hold the PortAudio lock;
    // releaseSession takes it itself.
    const Api& resolve();
    // PortAudio is initialised for the first session and terminated after the last one; a
    // capture device and a held output check each count as one. acquireSession answers false
    // when Pa_Initialize fails.
    bool acquireSession();
    void releaseSessionLocked() noexcept;
    void releaseSession();

    std::string libraryName_;
    std::unique_ptr<Api> api_;
    int sessions_ = 0;
};

// The start-up check of the output device over PortAudio: PortAudio's default output device in
// 48000 Hz 16-bit stereo, opened as a blocking output stream that is never started, so nothing
// is ever played. It asks for a long buffer: a sound server would otherwise run the device in
// short periods for it. It shares the PortAudio lock and session count with the capture back
// ends: PortAudio is initialised for a Query only while it runs and for an Open while the
// stream is held. A library that is missing or lacks an entry makes Query and Open answer false.
class PortAudioDeviceCheck final : public IDeviceCheck {
  public:
    inline static constexpr std::uint32_t kRate = 48000;
    inline static constexpr int kChannels = 2;

    // With a capture back end of its own on libraryName (tests name a missing one).
    explicit PortAudioDeviceCheck(std::string libraryName = kPortAudioLibrary);
    // Shares `backend`'s entries and session count; the back end must outlive the check.
    explicit PortAudioDeviceCheck(PortAudioBackend& backend) noexcept;
    // Closes what is still held.
    ~PortAudioDeviceCheck() override;
    PortAudioDeviceCheck(const PortAudioDeviceCheck&) = delete;
    PortAudioDeviceCheck& operator=(const PortAudioDeviceCheck&) = delete;

    // False also when PortAudio cannot initialise or has no default output device.
    bool Query() override;
    // A stream already held counts as opened (no second one is made).
    bool Open() override;
    void Close() noexcept override;

  private:
    std::unique_ptr<PortAudioBackend> owned_;
    PortAudioBackend& backend_;
    void* stream_ = nullptr;  // the held PaStream, under the PortAudio lock
};

}  // namespace stemora
