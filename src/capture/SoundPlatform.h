#pragma once
// The sound back-end interface that the capture stream is written against.
//
// It mirrors the operations of a DirectSound-style capture library: a capture device that creates
// one-second circular capture buffers, and buffers that start, stop, report their cursors and hand
// out their contents in two pieces. Result codes follow the platform's convention: 0 is success,
// anything else (also a positive value) is failure. Objects are reference counted: whoever
// receives one through an out-parameter holds one reference and gives it back with Release().
//
// No PortAudio type appears here; the back ends keep their libraries out of every public header.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace stemora {

using HResult = std::int32_t;

inline constexpr HResult kOk = 0;
// Generic failure and invalid-argument codes, as the platform spells them.
inline constexpr HResult kErrFail = static_cast<HResult>(0x80004005u);
inline constexpr HResult kErrInvalidArg = static_cast<HResult>(0x80070057u);
// A capture buffer whose device has gone (DSERR_BUFFERLOST).
inline constexpr HResult kErrBufferLost = static_cast<HResult>(0x88780096u);

// The 18-byte PCM wave format record (WAVEFORMATEX), packed and little-endian.
#pragma pack(push, 1)
struct WaveFormat {
    std::uint16_t wFormatTag;
    std::uint16_t nChannels;
    std::uint32_t nSamplesPerSec;
    std::uint32_t nAvgBytesPerSec;
    std::uint16_t nBlockAlign;
    std::uint16_t wBitsPerSample;
    std::uint16_t cbSize;
};
#pragma pack(pop)

static_assert(sizeof(WaveFormat) == 18);
static_assert(offsetof(WaveFormat, wFormatTag) == 0);
static_assert(offsetof(WaveFormat, nChannels) == 2);
static_assert(offsetof(WaveFormat, nSamplesPerSec) == 4);
static_assert(offsetof(WaveFormat, nAvgBytesPerSec) == 8);
static_assert(offsetof(WaveFormat, nBlockAlign) == 12);
static_assert(offsetof(WaveFormat, wBitsPerSample) == 14);
static_assert(offsetof(WaveFormat, cbSize) == 16);

// Linear PCM that a back end records: format tag 1, 8, 16, 24 or 32 bits, mono or stereo (all
// the stream ever asks for), a positive rate, and block align and byte rate that agree with
// them.
constexpr bool IsWellFormedPcm(const WaveFormat& f) noexcept {
    const bool bits = f.wBitsPerSample == 8 || f.wBitsPerSample == 16 || f.wBitsPerSample == 24 ||
                      f.wBitsPerSample == 32;
    return f.wFormatTag == 1 && bits && (f.nChannels == 1 || f.nChannels == 2) &&
           f.nSamplesPerSec > 0 && f.nBlockAlign == f.nChannels * (f.wBitsPerSample / 8) &&
           f.nAvgBytesPerSec == std::uint32_t{f.nBlockAlign} * f.nSamplesPerSec;
}

// The byte that silence is made of: 8-bit PCM is unsigned (0x80), wider PCM signed (0).
constexpr std::uint8_t SilenceByte(std::uint16_t bitsPerSample) noexcept {
    return bitsPerSample == 8 ? 0x80 : 0x00;
}

// Capture buffer description (DSCBUFFERDESC without effects). dwSize carries 20, the size of
// this form on the 32-bit platform; on 64-bit builds the pointer makes the struct larger, but the
// value stays the version marker that back ends check.
struct CaptureBufferDesc {
    std::uint32_t dwSize;
    std::uint32_t dwFlags;
    std::uint32_t dwBufferBytes;
    std::uint32_t dwReserved;
    const WaveFormat* lpwfxFormat;
};

inline constexpr std::uint32_t kCaptureBufferDescSize = 20;
inline constexpr std::uint32_t kStartLooping = 1;  // DSCBSTART_LOOPING

// A 16-byte device identifier (GUID); null selects the default capture device.
struct DeviceGuid {
    std::uint8_t Bytes[16];
};

class RefCounted {
  public:
    virtual std::uint32_t AddRef() = 0;
    // Drops one reference; the object destroys itself with its last one.
    virtual std::uint32_t Release() = 0;

  protected:
    virtual ~RefCounted() = default;
};

// The reference count of a back-end object that implements Interface: AddRef and Release from
// any thread; the last Release deletes the object (its destructor is where a back end gives
// back what the object held).
template <class Interface>
class RefCountedObject : public Interface {
  public:
    std::uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    std::uint32_t Release() override {
        const std::uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  private:
    std::atomic<std::uint32_t> refs_{1};
};

// One circular capture buffer of exactly dwBufferBytes bytes.
class ISoundCaptureBuffer : public RefCounted {
  public:
    // Starts recording; with kStartLooping it runs without pause, wrapping at the buffer's end.
    virtual HResult Start(std::uint32_t flags) = 0;
    virtual HResult Stop() = 0;
    // readCursor: the offset up to which the data is complete (what the stream may copy).
    // captureCursor: where the device is writing now (not used by the stream).
    // Either pointer may be null. kErrBufferLost once the device has stopped delivering for good
    // (unplugged, or its sound server gone): the buffer records nothing more, and only a new
    // buffer, made once the device is back, captures again.
    virtual HResult GetCurrentPosition(std::uint32_t* captureCursor, std::uint32_t* readCursor) = 0;
    // Hands out `bytes` bytes from `offset` as up to two pieces: the first starts at offset; when
    // the range runs past the end the second holds the rest from offset 0, otherwise *ptr2 is null
    // and *bytes2 is 0. The two lengths add up to `bytes`.
    virtual HResult Lock(std::uint32_t offset, std::uint32_t bytes, void** ptr1,
                         std::uint32_t* bytes1, void** ptr2, std::uint32_t* bytes2,
                         std::uint32_t flags) = 0;
    virtual HResult Unlock(void* ptr1, std::uint32_t bytes1, void* ptr2, std::uint32_t bytes2) = 0;
};

// An opened capture device (IDirectSoundCapture).
class ISoundCapture : public RefCounted {
  public:
    // On success (0) *buffer holds a new buffer in the requested format and size. `outer` must be
    // null (no aggregation).
    virtual HResult CreateCaptureBuffer(const CaptureBufferDesc* desc, ISoundCaptureBuffer** buffer,
                                        void* outer) = 0;
};

// The sound library as a whole: what "DirectSoundCaptureCreate" offers. A back end whose library
// cannot be loaded, or lacks an entry it needs, throws from DirectSoundCaptureCreate (the
// stream's CreateCaptureDevice turns that into EDirectXError "Necessary since DirectX5").
// The back end object must outlive every stream and device created through it.
class ISoundBackend {
  public:
    virtual ~ISoundBackend() = default;
    virtual HResult DirectSoundCaptureCreate(const DeviceGuid* deviceId, ISoundCapture** device,
                                             void* outer) = 0;
};

// The process's real back end: PortAudio, loaded at run time. Lives until the process ends.
ISoundBackend& DefaultSoundBackend();

}  // namespace stemora
