#include "capture/SimulatedSound.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <thread>

#include "capture/uDirectSound.h"

namespace stemora {

namespace {

constexpr int kOperationCount = 5;

bool wellFormed(const CaptureBufferDesc& desc) {
    return desc.dwSize == kCaptureBufferDescSize && desc.lpwfxFormat != nullptr &&
           desc.dwBufferBytes != 0 && IsWellFormedPcm(*desc.lpwfxFormat);
}

// Writes one sample in -1..1 as little-endian PCM of `bits` bits.
void encodeSample(double value, std::uint16_t bits, std::uint8_t* out) {
    value = std::clamp(value, -1.0, 1.0);
    switch (bits) {
        case 8:
            out[0] = static_cast<std::uint8_t>(128 + std::lround(value * 127.0));
            break;
        case 16: {
            const auto v = static_cast<std::uint16_t>(std::lround(value * 32767.0));
            out[0] = static_cast<std::uint8_t>(v);
            out[1] = static_cast<std::uint8_t>(v >> 8);
            break;
        }
        case 24: {
            const auto v = static_cast<std::uint32_t>(std::lround(value * 8388607.0));
            out[0] = static_cast<std::uint8_t>(v);
            out[1] = static_cast<std::uint8_t>(v >> 8);
            out[2] = static_cast<std::uint8_t>(v >> 16);
            break;
        }
        default: {
            const auto v = static_cast<std::uint32_t>(std::llround(value * 2147483647.0));
            out[0] = static_cast<std::uint8_t>(v);
            out[1] = static_cast<std::uint8_t>(v >> 8);
            out[2] = static_cast<std::uint8_t>(v >> 16);
            out[3] = static_cast<std::uint8_t>(v >> 24);
            break;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Sources

SimulatedSource::SimulatedSource() = default;

SimulatedSource SimulatedSource::Silence() {
    return SimulatedSource();
}

SimulatedSource SimulatedSource::Tone(double frequencyHz, double amplitude) {
    return Samples(
        [frequencyHz, amplitude](std::uint64_t frame, std::uint32_t, std::uint32_t rate) {
            // The phase is reduced in whole cycles first so that long runs keep their precision.
            const double cycles = static_cast<double>(frame) * frequencyHz / rate;
            return amplitude * std::sin(2.0 * std::numbers::pi * (cycles - std::floor(cycles)));
        });
}

SimulatedSource SimulatedSource::Samples(SampleFunction function) {
    SimulatedSource source;
    if (function) {
        source.kind_ = Kind::Samples;
        source.function_ = std::move(function);
    }
    return source;
}

SimulatedSource SimulatedSource::Bytes(std::vector<std::uint8_t> bytes, bool loop) {
    SimulatedSource source;
    if (!bytes.empty()) {
        source.kind_ = Kind::Bytes;
        source.bytes_ = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
        source.loop_ = loop;
    }
    return source;
}

// ---------------------------------------------------------------------------------------------
// Shared state

struct SimulatedSoundBackend::State {
    struct FailureRule {
        HResult Code = kOk;
        int Times = 0;  // < 0: every call
    };

    // Returns the code that `operation` fails with now, or 0; counts down limited failures.
    HResult CheckFailure(SimulatedOperation operation) {
        std::lock_guard lock(Mutex);
        FailureRule& rule = Failures[static_cast<int>(operation)];
        if (rule.Code == kOk) {
            return kOk;
        }
        const HResult code = rule.Code;
        if (rule.Times > 0 && --rule.Times == 0) {
            rule.Code = kOk;
        }
        return code;
    }

    void RecordLocked(Buffer& buffer, std::uint64_t frames);

    mutable std::mutex Mutex;  // guards everything below (not the buffers' data)
    FormatPredicate Accept;
    SimulatedSource Source;
    FailureRule Failures[kOperationCount];
    Counters Totals;
    CaptureBufferDesc LastDesc{};
    WaveFormat LastFormat{};
    std::vector<Buffer*> Buffers;  // live, in creation order
    bool DeviceGone = false;
    bool Stalled = false;
    std::jthread Clock;
};

// ---------------------------------------------------------------------------------------------
// Buffer

class SimulatedSoundBackend::Buffer final : public RefCountedObject<ISoundCaptureBuffer> {
  public:
    Buffer(std::shared_ptr<State> state, const WaveFormat& format, std::uint32_t size)
        : Shared(std::move(state)),
          Format(format),
          Data(size, SilenceByte(format.wBitsPerSample)) {}

    ~Buffer() override {
        std::lock_guard lock(Shared->Mutex);
        std::erase(Shared->Buffers, this);
        --Shared->Totals.BuffersLive;
    }

    HResult Start(std::uint32_t /*flags*/) override {
        std::lock_guard lock(Shared->Mutex);
        ++Shared->Totals.Starts;
        // A lost buffer records nothing more.
        Running = !Lost.load(std::memory_order_relaxed);
        return kOk;
    }

    HResult Stop() override {
        std::lock_guard lock(Shared->Mutex);
        ++Shared->Totals.Stops;
        Running = false;
        return kOk;
    }

    HResult GetCurrentPosition(std::uint32_t* captureCursor, std::uint32_t* readCursor) override {
        if (const HResult failure = Shared->CheckFailure(SimulatedOperation::GetPosition)) {
            return failure;
        }
        if (Lost.load(std::memory_order_acquire)) {
            return kErrBufferLost;
        }
        const std::uint32_t cursor = Cursor.load(std::memory_order_acquire);
        if (captureCursor != nullptr) {
            *captureCursor = cursor;
        }
        if (readCursor != nullptr) {
            *readCursor = cursor;
        }
        return kOk;
    }

    HResult Lock(std::uint32_t offset, std::uint32_t bytes, void** ptr1, std::uint32_t* bytes1,
                 void** ptr2, std::uint32_t* bytes2, std::uint32_t /*flags*/) override {
        if (ptr1 == nullptr || bytes1 == nullptr) {
            return kErrInvalidArg;
        }
        const auto size = static_cast<std::uint32_t>(Data.size());
        if (offset >= size || bytes > size) {
            return kErrInvalidArg;
        }
        if (const HResult failure = Shared->CheckFailure(SimulatedOperation::Lock)) {
            return failure;
        }
        // One lock at a time: a second one before Unlock would deadlock on the data mutex.
        if (Locked.exchange(true)) {
            return kErrInvalidArg;
        }
        {
            std::lock_guard lock(Shared->Mutex);
            ++Shared->Totals.Locks;
        }
        // Held until Unlock: recording waits, so the pieces stay as they are while copied.
        DataMutex.lock();
        const std::uint32_t first = std::min(bytes, size - offset);
        *ptr1 = Data.data() + offset;
        *bytes1 = first;
        const std::uint32_t rest = bytes - first;
        if (ptr2 != nullptr && bytes2 != nullptr) {
            *ptr2 = rest > 0 ? Data.data() : nullptr;
            *bytes2 = rest;
        }
        return kOk;
    }

    HResult Unlock(void* /*ptr1*/, std::uint32_t /*bytes1*/, void* /*ptr2*/,
                   std::uint32_t /*bytes2*/) override {
        if (!Locked.load()) {
            return kErrInvalidArg;
        }
        Locked.store(false);
        DataMutex.unlock();
        // Counted after the data mutex is free: recording holds the state mutex while it waits
        // for the data mutex.
        std::lock_guard lock(Shared->Mutex);
        ++Shared->Totals.Unlocks;
        return kOk;
    }

    std::shared_ptr<State> Shared;
    const WaveFormat Format;
    std::vector<std::uint8_t> Data;  // exactly dwBufferBytes
    std::mutex DataMutex;
    std::atomic<bool> Locked{false};
    std::atomic<std::uint32_t> Cursor{0};
    std::atomic<bool> Lost{false};
    // Under the state mutex.
    bool Running = false;
    std::uint64_t Frames = 0;  // recorded since creation
    std::uint32_t WritePosition = 0;
    double Fraction = 0.0;
};

void SimulatedSoundBackend::State::RecordLocked(Buffer& buffer, std::uint64_t frames) {
    if (!buffer.Running || frames == 0) {
        return;
    }
    const WaveFormat& format = buffer.Format;
    const std::uint32_t blockAlign = format.nBlockAlign;
    const std::uint32_t sampleBytes = format.wBitsPerSample / 8u;
    const auto size = static_cast<std::uint32_t>(buffer.Data.size());
    const std::uint8_t silence = SilenceByte(buffer.Format.wBitsPerSample);
    std::uint8_t frame[2 * 4];  // the widest well-formed frame
    std::lock_guard data(buffer.DataMutex);
    for (std::uint64_t f = 0; f < frames; ++f) {
        const std::uint64_t index = buffer.Frames + f;
        switch (Source.kind_) {
            case SimulatedSource::Kind::Silence:
                std::memset(frame, silence, blockAlign);
                break;
            case SimulatedSource::Kind::Samples:
                for (std::uint32_t c = 0; c < format.nChannels; ++c) {
                    encodeSample(Source.function_(index, c, format.nSamplesPerSec),
                                 format.wBitsPerSample,
                                 frame + static_cast<std::size_t>(c) * sampleBytes);
                }
                break;
            case SimulatedSource::Kind::Bytes: {
                const std::vector<std::uint8_t>& bytes = *Source.bytes_;
                for (std::uint32_t b = 0; b < blockAlign; ++b) {
                    const std::uint64_t at = index * blockAlign + b;
                    if (Source.loop_) {
                        frame[b] = bytes[at % bytes.size()];
                    } else {
                        frame[b] = at < bytes.size() ? bytes[at] : silence;
                    }
                }
                break;
            }
        }
        for (std::uint32_t b = 0; b < blockAlign; ++b) {
            buffer.Data[buffer.WritePosition] = frame[b];
            buffer.WritePosition = buffer.WritePosition + 1 == size ? 0 : buffer.WritePosition + 1;
        }
    }
    buffer.Frames += frames;
    // Published after the bytes: everything before the cursor is complete.
    buffer.Cursor.store(buffer.WritePosition, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// Device

class SimulatedSoundBackend::Device final : public RefCountedObject<ISoundCapture> {
  public:
    explicit Device(std::shared_ptr<State> state) : state_(std::move(state)) {}

    ~Device() override {
        std::lock_guard lock(state_->Mutex);
        --state_->Totals.DevicesLive;
    }

    HResult CreateCaptureBuffer(const CaptureBufferDesc* desc, ISoundCaptureBuffer** buffer,
                                void* outer) override {
        if (buffer == nullptr) {
            return kErrInvalidArg;
        }
        *buffer = nullptr;
        FormatPredicate accept;
        {
            std::lock_guard lock(state_->Mutex);
            ++state_->Totals.BufferRequests;
            if (desc != nullptr) {
                state_->LastDesc = *desc;
                state_->LastDesc.lpwfxFormat = nullptr;
                state_->LastFormat =
                    desc->lpwfxFormat != nullptr ? *desc->lpwfxFormat : WaveFormat{};
            }
            accept = state_->Accept;
            if (state_->DeviceGone) {
                return kErrFail;
            }
        }
        if (desc == nullptr || outer != nullptr || !wellFormed(*desc)) {
            return kErrInvalidArg;
        }
        if (const HResult failure = state_->CheckFailure(SimulatedOperation::CreateBuffer)) {
            return failure;
        }
        // The predicate runs without the lock: it may call back into the back end.
        if (accept && !accept(*desc->lpwfxFormat)) {
            return kErrFail;
        }
        auto* created = new Buffer(state_, *desc->lpwfxFormat, desc->dwBufferBytes);
        std::lock_guard lock(state_->Mutex);
        state_->Buffers.push_back(created);
        Counters& counters = state_->Totals;
        ++counters.BuffersCreated;
        ++counters.BuffersLive;
        counters.BuffersLivePeak = std::max(counters.BuffersLivePeak, counters.BuffersLive);
        *buffer = created;
        return kOk;
    }

  private:
    std::shared_ptr<State> state_;
};

// ---------------------------------------------------------------------------------------------
// Back end

SimulatedSoundBackend::SimulatedSoundBackend() : state_(std::make_shared<State>()) {}

SimulatedSoundBackend::~SimulatedSoundBackend() {
    StopRealTime();
}

void SimulatedSoundBackend::AcceptFormats(FormatPredicate accept) {
    std::lock_guard lock(state_->Mutex);
    state_->Accept = std::move(accept);
}

void SimulatedSoundBackend::SetSource(SimulatedSource source) {
    std::lock_guard lock(state_->Mutex);
    state_->Source = std::move(source);
}

void SimulatedSoundBackend::Fail(SimulatedOperation operation, HResult code, int times) {
    std::lock_guard lock(state_->Mutex);
    State::FailureRule& rule = state_->Failures[static_cast<int>(operation)];
    rule.Code = times == 0 ? kOk : code;
    rule.Times = times;
}

void SimulatedSoundBackend::Recover(SimulatedOperation operation) {
    Fail(operation, kOk, 0);
}

void SimulatedSoundBackend::LoseDevice() {
    std::lock_guard lock(state_->Mutex);
    state_->DeviceGone = true;
    for (Buffer* buffer : state_->Buffers) {
        buffer->Running = false;
        if (!buffer->Lost.exchange(true)) {
            ++state_->Totals.BuffersLost;
        }
    }
}

void SimulatedSoundBackend::RestoreDevice() {
    std::lock_guard lock(state_->Mutex);
    state_->DeviceGone = false;
}

void SimulatedSoundBackend::StallDevice() {
    std::lock_guard lock(state_->Mutex);
    state_->Stalled = true;
}

void SimulatedSoundBackend::ResumeDevice() {
    std::lock_guard lock(state_->Mutex);
    state_->Stalled = false;
}

void SimulatedSoundBackend::Advance(std::uint64_t frames) {
    std::lock_guard lock(state_->Mutex);
    if (state_->Stalled) {
        return;
    }
    for (Buffer* buffer : state_->Buffers) {
        state_->RecordLocked(*buffer, frames);
    }
}

void SimulatedSoundBackend::AdvanceTime(std::chrono::nanoseconds duration) {
    if (duration.count() <= 0) {
        return;
    }
    std::lock_guard lock(state_->Mutex);
    if (state_->Stalled) {
        return;
    }
    for (Buffer* buffer : state_->Buffers) {
        if (!buffer->Running) {
            continue;
        }
        // Divided last, so that whole frames come out whole.
        buffer->Fraction += static_cast<double>(buffer->Format.nSamplesPerSec) *
                            static_cast<double>(duration.count()) / 1e9;
        const double whole = std::floor(buffer->Fraction);
        buffer->Fraction -= whole;
        state_->RecordLocked(*buffer, static_cast<std::uint64_t>(whole));
    }
}

void SimulatedSoundBackend::StartRealTime(std::chrono::milliseconds period) {
    std::lock_guard lock(state_->Mutex);
    if (state_->Clock.joinable()) {
        return;
    }
    state_->Clock = std::jthread([this, period](const std::stop_token& stop) {
        try {
            auto last = std::chrono::steady_clock::now();
            while (!stop.stop_requested()) {
                std::this_thread::sleep_for(period);
                const auto now = std::chrono::steady_clock::now();
                AdvanceTime(now - last);
                last = now;
            }
        } catch (...) {
            // A failing sample function stops the clock, like a device that stopped delivering.
        }
    });
}

void SimulatedSoundBackend::StopRealTime() {
    std::jthread clock;
    {
        std::lock_guard lock(state_->Mutex);
        clock = std::move(state_->Clock);
    }
    // Joined without the lock: the clock takes it on every tick.
}

SimulatedSoundBackend::Counters SimulatedSoundBackend::GetCounters() const {
    std::lock_guard lock(state_->Mutex);
    return state_->Totals;
}

CaptureBufferDesc SimulatedSoundBackend::LastBufferDesc() const {
    std::lock_guard lock(state_->Mutex);
    return state_->LastDesc;
}

WaveFormat SimulatedSoundBackend::LastBufferFormat() const {
    std::lock_guard lock(state_->Mutex);
    return state_->LastFormat;
}

std::uint64_t SimulatedSoundBackend::RecordedFrames() const {
    std::lock_guard lock(state_->Mutex);
    return state_->Buffers.empty() ? 0 : state_->Buffers.back()->Frames;
}

HResult SimulatedSoundBackend::DirectSoundCaptureCreate(const DeviceGuid* /*deviceId*/,
                                                        ISoundCapture** device, void* outer) {
    if (device == nullptr) {
        return kErrInvalidArg;
    }
    *device = nullptr;
    if (state_->CheckFailure(SimulatedOperation::OpenLibrary) != kOk) {
        throw Exception(FormatText(kMsgNotLoaded, "simulated sound library"));
    }
    if (outer != nullptr) {
        return kErrInvalidArg;
    }
    if (const HResult failure = state_->CheckFailure(SimulatedOperation::CreateDevice)) {
        return failure;
    }
    auto* created = new Device(state_);
    std::lock_guard lock(state_->Mutex);
    ++state_->Totals.DevicesCreated;
    ++state_->Totals.DevicesLive;
    *device = created;
    return kOk;
}

}  // namespace stemora
