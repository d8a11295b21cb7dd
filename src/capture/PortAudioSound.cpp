#include "capture/PortAudioSound.h"

#include <portaudio.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>

#include "capture/LibraryLoader.h"

namespace stemora {

namespace {
// Seconds of sound the device gathers before each callback. The capture buffer holds a second
// and the display reads sound that is already old, so a short period buys nothing; every
// period wakes PortAudio's thread and the sound client's thread. A tenth of a second keeps them
// near ten wake-ups a second each, a spectrum that moves ten times a second, and a cursor that
// moves well within the capture stream's stall check (a second without movement).
constexpr double kCapturePeriod = 0.1;
// The least number of periods the capture buffer holds: the reader copies out of the ring while
// the next period is gathered, so one period must never cover a large share of it.
constexpr std::uint32_t kPeriodsPerBuffer = 4;

// Frames per callback for a buffer of bufferFrames frames at `rate`.
unsigned long capturePeriodFrames(std::uint32_t rate, std::uint32_t bufferFrames) noexcept {
    const auto period = static_cast<unsigned long>(rate * kCapturePeriod);
    return std::max(1ul,
                    std::min(period, static_cast<unsigned long>(bufferFrames) / kPeriodsPerBuffer));
}
}  // namespace

// The entries that this back end calls, resolved once per back end. Only the types come from
// portaudio.h; the library itself is never linked.
struct PortAudioBackend::Api {
    decltype(&Pa_Initialize) Initialize;
    decltype(&Pa_Terminate) Terminate;
    decltype(&Pa_GetDefaultInputDevice) GetDefaultInputDevice;
    decltype(&Pa_GetDefaultOutputDevice) GetDefaultOutputDevice;
    decltype(&Pa_GetDeviceInfo) GetDeviceInfo;
    decltype(&Pa_IsFormatSupported) IsFormatSupported;
    decltype(&Pa_OpenStream) OpenStream;
    decltype(&Pa_StartStream) StartStream;
    decltype(&Pa_StopStream) StopStream;
    decltype(&Pa_AbortStream) AbortStream;
    decltype(&Pa_CloseStream) CloseStream;
    decltype(&Pa_SetStreamFinishedCallback) SetStreamFinishedCallback;
};

namespace {

// DirectSound's answers where the platform has a specific code.
constexpr HResult kErrBadFormat = static_cast<HResult>(0x88780064u);  // DSERR_BADFORMAT
constexpr HResult kErrOutOfMemory = static_cast<HResult>(0x8007000Eu);
constexpr HResult kErrNoAggregation = static_cast<HResult>(0x80040110u);

// PortAudio's calls are not thread-safe against each other (initialising, terminating, opening,
// starting, stopping), and every back end of the process shares one PortAudio: one lock for
// all of them. The callback takes no lock.
std::mutex& sessionMutex() {
    static std::mutex mutex;
    return mutex;
}

template <typename F>
void resolveEntry(F& slot, std::string_view library, const char* entry) {
    slot = reinterpret_cast<F>(GetLibraryProc(library, entry));
}

// Optional entry: null when the library or the entry is absent.
template <typename F>
F optionalEntry(const char* library, const char* entry) {
    try {
        return reinterpret_cast<F>(GetLibraryProc(library, entry));
    } catch (...) {
        return nullptr;
    }
}

void dropAlsaMessage(const char*, int, const char*, int, const char*, ...) {}
void dropJackMessage(const char*) {}

// ALSA's plugin probing and JACK's failed connection print dozens of lines on every
// Pa_Initialize; a tuner's terminal is not the place for them. The handlers are installed in
// the libraries PortAudio itself uses (a second dlopen finds the same instance).
void silenceSoundLibraries() {
    using AlsaHandler = void (*)(const char*, int, const char*, int, const char*, ...);
    using JackHandler = void (*)(const char*);
    if (auto setAlsa =
            optionalEntry<int (*)(AlsaHandler)>("libasound.so.2", "snd_lib_error_set_handler")) {
        setAlsa(&dropAlsaMessage);
    }
    if (auto setJack =
            optionalEntry<void (*)(JackHandler)>("libjack.so.0", "jack_set_error_function")) {
        setJack(&dropJackMessage);
    }
    if (auto setJack =
            optionalEntry<void (*)(JackHandler)>("libjack.so.0", "jack_set_info_function")) {
        setJack(&dropJackMessage);
    }
}

// ALSA's configuration handle; only passed through.
struct AlsaConfig;

// Whether ALSA's configuration node `key` (under `top`) is a text that mentions `name`.
bool mentions(AlsaConfig* top, const char* key, std::string_view name,
              int (*search)(AlsaConfig*, const char*, AlsaConfig**),
              int (*getString)(const AlsaConfig*, const char**)) {
    AlsaConfig* node = nullptr;
    const char* text = nullptr;
    return search(top, key, &node) == 0 && getString(node, &text) == 0 && text != nullptr &&
           std::string_view(text).find(name) != std::string_view::npos;
}

// PortAudio opens every PCM that ALSA's configuration defines to list it. The AC-3 encoder
// ("a52", from the ALSA plugins package) is a playback plugin for S/PDIF receivers that
// this program never records from or checks, but opening it loads libavcodec with some ninety
// libraries behind it: about 14 MB that stay resident for the whole run. It is taken out of
// this process's copy of the configuration before PortAudio reads it, unless the default
// device is built on it. ALSA reloads its files only when they change or after PortAudio
// terminates, so this runs before every Pa_Initialize.
void leaveOutEncoderPlugin() {
    constexpr const char* library = "libasound.so.2";
    const auto update = optionalEntry<int (*)()>(library, "snd_config_update");
    const auto search = optionalEntry<int (*)(AlsaConfig*, const char*, AlsaConfig**)>(
        library, "snd_config_search");
    const auto getString =
        optionalEntry<int (*)(const AlsaConfig*, const char**)>(library, "snd_config_get_string");
    const auto remove = optionalEntry<int (*)(AlsaConfig*)>(library, "snd_config_delete");
    auto* const top = optionalEntry<AlsaConfig**>(library, "snd_config");
    if (update == nullptr || search == nullptr || getString == nullptr || remove == nullptr ||
        top == nullptr || update() < 0 || *top == nullptr) {
        return;
    }
    constexpr std::string_view encoder = "a52";
    for (const char* key : {"pcm.default", "pcm.default.type", "pcm.default.slave.pcm",
                            "pcm.default.playback.pcm", "defaults.pcm.type"}) {
        if (mentions(*top, key, encoder, search, getString)) {
            return;
        }
    }
    AlsaConfig* node = nullptr;
    if (search(*top, "pcm.a52", &node) == 0) {
        remove(node);
    }
}

PaSampleFormat paFormatFor(std::uint16_t bits) {
    switch (bits) {
        case 8:
            return paUInt8;
        case 16:
            return paInt16;
        case 24:
            return paInt24;
        default:
            return paInt32;
    }
}

}  // namespace

class PortAudioDevice;

// One PortAudio input stream recording into a CaptureRing (the callback is its producer, the
// user of the buffer its consumer).
class PortAudioCaptureBuffer final : public RefCountedObject<ISoundCaptureBuffer> {
  public:
    // Throws std::bad_alloc.
    PortAudioCaptureBuffer(PortAudioDevice& device, const PortAudioBackend::Api& api,
                           std::uint32_t size, std::uint32_t frameBytes, std::uint8_t silence);

    // Opens the stream; false when PortAudio refuses the format.
    bool Open(PaDeviceIndex input, const WaveFormat& format);

    HResult Start(std::uint32_t flags) override;
    HResult Stop() override;
    HResult GetCurrentPosition(std::uint32_t* captureCursor, std::uint32_t* readCursor) override;
    HResult Lock(std::uint32_t offset, std::uint32_t bytes, void** ptr1, std::uint32_t* bytes1,
                 void** ptr2, std::uint32_t* bytes2, std::uint32_t) override {
        return ring_.Pieces(offset, bytes, ptr1, bytes1, ptr2, bytes2);
    }
    HResult Unlock(void*, std::uint32_t, void*, std::uint32_t) override {
        ring_.Unlocked();
        return kOk;
    }

  private:
    ~PortAudioCaptureBuffer() override;

    static int onFrames(const void* input, void* output, unsigned long frameCount,
                        const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags flags,
                        void* self) noexcept;
    static void onFinished(void* self) noexcept;

    PortAudioDevice& device_;
    const PortAudioBackend::Api& api_;
    PaStream* stream_ = nullptr;
    CaptureRing ring_;
    const std::uint32_t frameBytes_;
    bool started_ = false;      // consumer thread only
    bool startFailed_ = false;  // consumer thread only
    bool named_ = false;        // PortAudio's thread only
    // Set by PortAudio's thread when the stream has ended: by Stop, or because its device or
    // sound server went away (only the latter while started_).
    std::atomic<bool> ended_{false};
};

// PortAudio's default input device, for as long as PortAudio stays initialised for it.
class PortAudioDevice final : public RefCountedObject<ISoundCapture> {
  public:
    PortAudioDevice(PortAudioBackend& backend, const PortAudioBackend::Api& api,
                    PaDeviceIndex input)
        : backend_(backend), api_(api), input_(input) {}

    HResult CreateCaptureBuffer(const CaptureBufferDesc* desc, ISoundCaptureBuffer** buffer,
                                void* outer) override {
        if (buffer == nullptr) {
            return kErrInvalidArg;
        }
        *buffer = nullptr;
        if (outer != nullptr) {
            return kErrNoAggregation;
        }
        if (desc == nullptr || desc->dwSize != kCaptureBufferDescSize ||
            desc->lpwfxFormat == nullptr || desc->dwBufferBytes == 0) {
            return kErrInvalidArg;
        }
        const WaveFormat& format = *desc->lpwfxFormat;
        if (!IsWellFormedPcm(format)) {
            return kErrBadFormat;
        }
        if (desc->dwBufferBytes < format.nBlockAlign) {
            return kErrInvalidArg;
        }
        PortAudioCaptureBuffer* created = nullptr;
        try {
            created =
                new PortAudioCaptureBuffer(*this, api_, desc->dwBufferBytes, format.nBlockAlign,
                                           SilenceByte(format.wBitsPerSample));
        } catch (const std::bad_alloc&) {
            return kErrOutOfMemory;
        }
        if (!created->Open(input_, format)) {
            created->Release();
            return kErrBadFormat;
        }
        *buffer = created;
        return kOk;
    }

  private:
    // The last reference gone: PortAudio may be shut down once no device needs it.
    ~PortAudioDevice() override { backend_.releaseSession(); }

    PortAudioBackend& backend_;
    const PortAudioBackend::Api& api_;
    const PaDeviceIndex input_;
};

PortAudioCaptureBuffer::PortAudioCaptureBuffer(PortAudioDevice& device,
                                               const PortAudioBackend::Api& api, std::uint32_t size,
                                               std::uint32_t frameBytes, std::uint8_t silence)
    : device_(device), api_(api), ring_(size, silence), frameBytes_(frameBytes) {
    // The device (and with it PortAudio) stays alive while any of its buffers does.
    device_.AddRef();
}

PortAudioCaptureBuffer::~PortAudioCaptureBuffer() {
    if (stream_ != nullptr) {
        std::lock_guard lock(sessionMutex());
        if (started_) {
            api_.AbortStream(stream_);
        }
        api_.CloseStream(stream_);
    }
    device_.Release();
}

bool PortAudioCaptureBuffer::Open(PaDeviceIndex input, const WaveFormat& format) {
    const unsigned long period =
        capturePeriodFrames(format.nSamplesPerSec, ring_.Size() / frameBytes_);
    PaStreamParameters params{};
    params.device = input;
    params.channelCount = format.nChannels;
    params.sampleFormat = paFormatFor(format.wBitsPerSample);
    // Two periods: one is gathered while the other is handed over. Left to itself, PortAudio
    // picks periods of a few milliseconds from a short latency.
    params.suggestedLatency = 2.0 * static_cast<double>(period) / format.nSamplesPerSec;
    params.hostApiSpecificStreamInfo = nullptr;
    std::lock_guard lock(sessionMutex());
    PaStream* stream = nullptr;
    if (api_.OpenStream(&stream, &params, nullptr, format.nSamplesPerSec, period, paNoFlag,
                        &onFrames, this) != paNoError) {
        return false;
    }
    stream_ = stream;
    api_.SetStreamFinishedCallback(stream_, &onFinished);
    return true;
}

HResult PortAudioCaptureBuffer::Start(std::uint32_t) {
    if (started_) {
        return kOk;
    }
    std::lock_guard lock(sessionMutex());
    if (api_.StartStream(stream_) != paNoError) {
        // The server went between opening and starting: nothing will come from this stream.
        startFailed_ = true;
        return kErrFail;
    }
    started_ = true;
    return kOk;
}

HResult PortAudioCaptureBuffer::Stop() {
    if (!started_) {
        return kOk;
    }
    started_ = false;
    std::lock_guard lock(sessionMutex());
    // Also returns promptly for a stream whose device has gone.
    const PaError result = api_.StopStream(stream_);
    return result == paNoError || result == paStreamIsStopped ? kOk : kErrFail;
}

HResult PortAudioCaptureBuffer::GetCurrentPosition(std::uint32_t* captureCursor,
                                                   std::uint32_t* readCursor) {
    // A stream that PortAudio ended under a running capture (its server or device gone) never
    // delivers again; the caller needs a new one once the device is back.
    if (startFailed_ || (started_ && ended_.load(std::memory_order_acquire))) {
        return kErrBufferLost;
    }
    const std::uint32_t cursor = ring_.Cursor();
    if (captureCursor != nullptr) {
        *captureCursor = cursor;
    }
    if (readCursor != nullptr) {
        *readCursor = cursor;
    }
    return kOk;
}

int PortAudioCaptureBuffer::onFrames(const void* input, void*, unsigned long frameCount,
                                     const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags,
                                     void* self) noexcept {
    auto* buffer = static_cast<PortAudioCaptureBuffer*>(self);
    if (!buffer->named_) {
        // The thread inherits the capture thread's name; its own tells them apart in thread
        // listings (top -H, bench/load.sh).
        pthread_setname_np(pthread_self(), "portaudio");
        buffer->named_ = true;
    }
    buffer->ring_.Record(static_cast<const std::uint8_t*>(input),
                         static_cast<std::size_t>(frameCount) * buffer->frameBytes_);
    return paContinue;
}

void PortAudioCaptureBuffer::onFinished(void* self) noexcept {
    static_cast<PortAudioCaptureBuffer*>(self)->ended_.store(true, std::memory_order_release);
}

CaptureRing::CaptureRing(std::uint32_t size, std::uint8_t silence)
    : bytes_(new std::uint8_t[size]), size_(size), silence_(silence) {
    std::memset(bytes_.get(), silence_, size_);
}

void CaptureRing::Record(const std::uint8_t* input, std::size_t bytes) noexcept {
    // Pairs with Unlocked(): what the consumer has finished reading is not overwritten under it.
    static_cast<void>(unlocks_.load(std::memory_order_acquire));
    std::uint32_t cursor = cursor_.load(std::memory_order_relaxed);
    // More than a whole buffer at once: only the newest buffer's worth survives anyway.
    if (bytes > size_) {
        const std::size_t skipped = bytes - size_;
        if (input != nullptr) {
            input += skipped;
        }
        cursor = static_cast<std::uint32_t>((cursor + skipped) % size_);
        bytes = size_;
    }
    std::size_t done = 0;
    while (done < bytes) {
        const std::size_t piece = std::min<std::size_t>(bytes - done, size_ - cursor);
        if (input != nullptr) {
            std::memcpy(bytes_.get() + cursor, input + done, piece);
        } else {
            std::memset(bytes_.get() + cursor, silence_, piece);
        }
        done += piece;
        cursor = static_cast<std::uint32_t>((cursor + piece) % size_);
    }
    cursor_.store(cursor, std::memory_order_release);
}

HResult CaptureRing::Pieces(std::uint32_t offset, std::uint32_t bytes, void** ptr1,
                            std::uint32_t* bytes1, void** ptr2, std::uint32_t* bytes2) noexcept {
    const bool secondPlace = ptr2 != nullptr && bytes2 != nullptr;
    if (ptr1 == nullptr || bytes1 == nullptr || (ptr2 == nullptr) != (bytes2 == nullptr) ||
        offset >= size_ || bytes > size_) {
        return kErrInvalidArg;
    }
    const std::uint32_t first = std::min(bytes, size_ - offset);
    if (first < bytes && !secondPlace) {
        return kErrInvalidArg;
    }
    *ptr1 = bytes_.get() + offset;
    *bytes1 = first;
    if (secondPlace) {
        *ptr2 = first < bytes ? bytes_.get() : nullptr;
        *bytes2 = bytes - first;
    }
    return kOk;
}

PortAudioBackend::PortAudioBackend(std::string libraryName)
    : libraryName_(std::move(libraryName)) {}

PortAudioBackend::~PortAudioBackend() = default;

const PortAudioBackend::Api& PortAudioBackend::resolve() {
    if (!api_) {
        auto api = std::make_unique<Api>();
        resolveEntry(api->Initialize, libraryName_, "Pa_Initialize");
        resolveEntry(api->Terminate, libraryName_, "Pa_Terminate");
        resolveEntry(api->GetDefaultInputDevice, libraryName_, "Pa_GetDefaultInputDevice");
        resolveEntry(api->GetDefaultOutputDevice, libraryName_, "Pa_GetDefaultOutputDevice");
        resolveEntry(api->GetDeviceInfo, libraryName_, "Pa_GetDeviceInfo");
        resolveEntry(api->IsFormatSupported, libraryName_, "Pa_IsFormatSupported");
        resolveEntry(api->OpenStream, libraryName_, "Pa_OpenStream");
        resolveEntry(api->StartStream, libraryName_, "Pa_StartStream");
        resolveEntry(api->StopStream, libraryName_, "Pa_StopStream");
        resolveEntry(api->AbortStream, libraryName_, "Pa_AbortStream");
        resolveEntry(api->CloseStream, libraryName_, "Pa_CloseStream");
        resolveEntry(api->SetStreamFinishedCallback, libraryName_, "Pa_SetStreamFinishedCallback");
        api_ = std::move(api);
    }
    return *api_;
}

bool PortAudioBackend::acquireSession() {
    if (sessions_ == 0) {
        silenceSoundLibraries();
        leaveOutEncoderPlugin();
        if (api_->Initialize() != paNoError) {
            return false;
        }
    }
    ++sessions_;
    return true;
}

void PortAudioBackend::releaseSessionLocked() noexcept {
    if (sessions_ > 0 && --sessions_ == 0) {
        api_->Terminate();
    }
}

void PortAudioBackend::releaseSession() {
    std::lock_guard lock(sessionMutex());
    releaseSessionLocked();
}

HResult PortAudioBackend::DirectSoundCaptureCreate(const DeviceGuid* deviceId,
                                                   ISoundCapture** device, void* outer) {
    if (device == nullptr) {
        return kErrInvalidArg;
    }
    *device = nullptr;
    std::lock_guard lock(sessionMutex());
    // Throws when the library or an entry is missing; the caller reports that.
    const Api& api = resolve();
    if (outer != nullptr) {
        return kErrNoAggregation;
    }
    if (deviceId != nullptr) {
        return kErrInvalidArg;
    }
    if (!acquireSession()) {
        return kErrFail;
    }
    const PaDeviceIndex input = api.GetDefaultInputDevice();
    const PaDeviceInfo* info = input == paNoDevice ? nullptr : api.GetDeviceInfo(input);
    if (info == nullptr) {
        releaseSessionLocked();
        return kErrFail;
    }
    auto* created = new (std::nothrow) PortAudioDevice(*this, api, input);
    if (created == nullptr) {
        releaseSessionLocked();
        return kErrOutOfMemory;
    }
    *device = created;
    return kOk;
}

namespace {

// Seconds of output buffer that the held check stream asks for.
constexpr double kCheckLatency = 1.0;

// The check's format on the default output device; false when there is none.
bool defaultOutput(const PortAudioBackend::Api& api, PaStreamParameters& params) {
    const PaDeviceIndex output = api.GetDefaultOutputDevice();
    const PaDeviceInfo* info = output == paNoDevice ? nullptr : api.GetDeviceInfo(output);
    if (info == nullptr) {
        return false;
    }
    params = PaStreamParameters{};
    params.device = output;
    params.channelCount = PortAudioDeviceCheck::kChannels;
    params.sampleFormat = paInt16;
    // The held stream plays nothing, but a sound server still sizes the device's periods for the
    // latency it asks: a short one would have the output device, and with it every program
    // recording its monitor, woken hundreds of times a second for the whole run.
    params.suggestedLatency = kCheckLatency;
    params.hostApiSpecificStreamInfo = nullptr;
    return true;
}

}  // namespace

PortAudioDeviceCheck::PortAudioDeviceCheck(std::string libraryName)
    : owned_(std::make_unique<PortAudioBackend>(std::move(libraryName))), backend_(*owned_) {}

PortAudioDeviceCheck::PortAudioDeviceCheck(PortAudioBackend& backend) noexcept
    : backend_(backend) {}

PortAudioDeviceCheck::~PortAudioDeviceCheck() {
    Close();
}

bool PortAudioDeviceCheck::Query() {
    try {
        std::lock_guard lock(sessionMutex());
        const PortAudioBackend::Api& api = backend_.resolve();
        if (!backend_.acquireSession()) {
            return false;
        }
        PaStreamParameters params;
        const bool supported =
            defaultOutput(api, params) &&
            api.IsFormatSupported(nullptr, &params, kRate) == paFormatIsSupported;
        backend_.releaseSessionLocked();
        return supported;
    } catch (...) {
        // A missing library or entry (or no memory for the table): the device cannot be used.
        return false;
    }
}

bool PortAudioDeviceCheck::Open() {
    try {
        std::lock_guard lock(sessionMutex());
        if (stream_ != nullptr) {
            return true;
        }
        const PortAudioBackend::Api& api = backend_.resolve();
        if (!backend_.acquireSession()) {
            return false;
        }
        PaStreamParameters params;
        PaStream* stream = nullptr;
        // No callback: a blocking stream that is never started plays nothing.
        if (!defaultOutput(api, params) ||
            api.OpenStream(&stream, nullptr, &params, kRate, paFramesPerBufferUnspecified, paNoFlag,
                           nullptr, nullptr) != paNoError) {
            backend_.releaseSessionLocked();
            return false;
        }
        stream_ = stream;
        return true;
    } catch (...) {
        return false;
    }
}

void PortAudioDeviceCheck::Close() noexcept {
    std::lock_guard lock(sessionMutex());
    if (stream_ == nullptr) {
        return;
    }
    // A stream is held only after the entries were resolved.
    backend_.api_->CloseStream(static_cast<PaStream*>(stream_));
    stream_ = nullptr;
    backend_.releaseSessionLocked();
}

ISoundBackend& DefaultSoundBackend() {
    // Never destroyed: a capture thread still running at exit may hold a device made by it.
    static PortAudioBackend* const backend = new PortAudioBackend();
    return *backend;
}

}  // namespace stemora
