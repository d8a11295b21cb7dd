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

bool WellFormed(const CaptureBufferDesc& desc) {
    return desc.dwSize == kCaptureBufferDescSize && desc.lpwfxFormat != nullptr &&
           desc.dwBufferBytes != 0 && IsWellFormedPcm(*desc.lpwfxFormat);
}

// Writes one sample in -1..1 as little-endian PCM of `bits` bits.
void EncodeSample(double value, std::uint16_t bits, std::uint8_t* out) {
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
        HResult code = kOk;
        int times = 0;  // < 0: every call
    };

    // Returns the code that `operation` fails with now, or 0; counts down limited failures.
    HResult CheckFailure(SimulatedOperation operation) {
        std::lock_guard lock(mutex);
        FailureRule& rule = failures[static_cast<int>(operation)];
        if (rule.code == kOk) {
            return kOk;
        }
        const HResult code = rule.code;
        if (rule.times > 0 && --rule.times == 0) {
            rule.code = kOk;
        }
        return code;
    }

    void RecordLocked(Buffer& buffer, std::uint64_t frames);

    mutable std::mutex mutex;  // guards everything below (not the buffers' data)
    FormatPredicate accept;
    SimulatedSource source;
    FailureRule failures[kOperationCount];
    Counters counters;
    CaptureBufferDesc lastDesc{};
    WaveFormat lastFormat{};
    std::vector<Buffer*> buffers;  // live, in creation order
    bool deviceGone = false;
    bool stalled = false;
    std::jthread clock;
};

// ---------------------------------------------------------------------------------------------
// Buffer

class SimulatedSoundBackend::Buffer final : public RefCountedObject<ISoundCaptureBuffer> {
  public:
    Buffer(std::shared_ptr<State> state, const WaveFormat& format, std::uint32_t size)
        : state_(std::move(state)),
          format_(format),
          data_(size, SilenceByte(format.wBitsPerSample)) {}

    ~Buffer() override {
        std::lock_guard lock(state_->mutex);
        std::erase(state_->buffers, this);
        --state_->counters.buffersLive;
    }

    HResult Start(std::uint32_t /*flags*/) override {
        std::lock_guard lock(state_->mutex);
        ++state_->counters.starts;
        // A lost buffer records nothing more.
        running_ = !lost_.load(std::memory_order_relaxed);
        return kOk;
    }

    HResult Stop() override {
        std::lock_guard lock(state_->mutex);
        ++state_->counters.stops;
        running_ = false;
        return kOk;
    }

    HResult GetCurrentPosition(std::uint32_t* captureCursor, std::uint32_t* readCursor) override {
        if (const HResult failure = state_->CheckFailure(SimulatedOperation::GetPosition)) {
            return failure;
        }
        if (lost_.load(std::memory_order_acquire)) {
            return kErrBufferLost;
        }
        const std::uint32_t cursor = cursor_.load(std::memory_order_acquire);
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
        const auto size = static_cast<std::uint32_t>(data_.size());
        if (offset >= size || bytes > size) {
            return kErrInvalidArg;
        }
        if (const HResult failure = state_->CheckFailure(SimulatedOperation::Lock)) {
            return failure;
        }
        // One lock at a time: a second one before Unlock would deadlock on the data mutex.
        if (locked_.exchange(true)) {
            return kErrInvalidArg;
        }
        {
            std::lock_guard lock(state_->mutex);
            ++state_->counters.locks;
        }
        // Held until Unlock: recording waits, so the pieces stay as they are while copied.
        dataMutex_.lock();
        const std::uint32_t first = std::min(bytes, size - offset);
        *ptr1 = data_.data() + offset;
        *bytes1 = first;
        const std::uint32_t rest = bytes - first;
        if (ptr2 != nullptr && bytes2 != nullptr) {
            *ptr2 = rest > 0 ? data_.data() : nullptr;
            *bytes2 = rest;
        }
        return kOk;
    }

    HResult Unlock(void* /*ptr1*/, std::uint32_t /*bytes1*/, void* /*ptr2*/,
                   std::uint32_t /*bytes2*/) override {
        if (!locked_.load()) {
            return kErrInvalidArg;
        }
        locked_.store(false);
        dataMutex_.unlock();
        // Counted after the data mutex is free: recording holds the state mutex while it waits
        // for the data mutex.
        std::lock_guard lock(state_->mutex);
        ++state_->counters.unlocks;
        return kOk;
    }

    std::shared_ptr<State> state_;
    const WaveFormat format_;
    std::vector<std::uint8_t> data_;  // exactly dwBufferBytes
    std::mutex dataMutex_;
    std::atomic<bool> locked_{false};
    std::atomic<std::uint32_t> cursor_{0};
    std::atomic<bool> lost_{false};
    // Under the state mutex.
    bool running_ = false;
    std::uint64_t frames_ = 0;  // recorded since creation
    std::uint32_t writePosition_ = 0;
    double fraction_ = 0.0;
};

void SimulatedSoundBackend::State::RecordLocked(Buffer& buffer, std::uint64_t frames) {
    if (!buffer.running_ || frames == 0) {
        return;
    }
    const WaveFormat& format = buffer.format_;
    const std::uint32_t blockAlign = format.nBlockAlign;
    const std::uint32_t sampleBytes = format.wBitsPerSample / 8u;
    const auto size = static_cast<std::uint32_t>(buffer.data_.size());
    const std::uint8_t silence = SilenceByte(buffer.format_.wBitsPerSample);
    std::uint8_t frame[2 * 4];  // the widest well-formed frame
    std::lock_guard data(buffer.dataMutex_);
    for (std::uint64_t f = 0; f < frames; ++f) {
        const std::uint64_t index = buffer.frames_ + f;
        switch (source.kind_) {
            case SimulatedSource::Kind::Silence:
                std::memset(frame, silence, blockAlign);
                break;
            case SimulatedSource::Kind::Samples:
                for (std::uint32_t c = 0; c < format.nChannels; ++c) {
                    EncodeSample(source.function_(index, c, format.nSamplesPerSec),
                                 format.wBitsPerSample,
                                 frame + static_cast<std::size_t>(c) * sampleBytes);
                }
                break;
            case SimulatedSource::Kind::Bytes: {
                const std::vector<std::uint8_t>& bytes = *source.bytes_;
                for (std::uint32_t b = 0; b < blockAlign; ++b) {
                    const std::uint64_t at = index * blockAlign + b;
                    if (source.loop_) {
                        frame[b] = bytes[at % bytes.size()];
                    } else {
                        frame[b] = at < bytes.size() ? bytes[at] : silence;
                    }
                }
                break;
            }
        }
        for (std::uint32_t b = 0; b < blockAlign; ++b) {
            buffer.data_[buffer.writePosition_] = frame[b];
            buffer.writePosition_ =
                buffer.writePosition_ + 1 == size ? 0 : buffer.writePosition_ + 1;
        }
    }
    buffer.frames_ += frames;
    // Published after the bytes: everything before the cursor is complete.
    buffer.cursor_.store(buffer.writePosition_, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// Device

class SimulatedSoundBackend::Device final : public RefCountedObject<ISoundCapture> {
  public:
    explicit Device(std::shared_ptr<State> state) : state_(std::move(state)) {}

    ~Device() override {
        std::lock_guard lock(state_->mutex);
        --state_->counters.devicesLive;
    }

    HResult CreateCaptureBuffer(const CaptureBufferDesc* desc, ISoundCaptureBuffer** buffer,
                                void* outer) override {
        if (buffer == nullptr) {
            return kErrInvalidArg;
        }
        *buffer = nullptr;
        FormatPredicate accept;
        {
            std::lock_guard lock(state_->mutex);
            ++state_->counters.bufferRequests;
            if (desc != nullptr) {
                state_->lastDesc = *desc;
                state_->lastDesc.lpwfxFormat = nullptr;
                state_->lastFormat =
                    desc->lpwfxFormat != nullptr ? *desc->lpwfxFormat : WaveFormat{};
            }
            accept = state_->accept;
            if (state_->deviceGone) {
                return kErrFail;
            }
        }
        if (desc == nullptr || outer != nullptr || !WellFormed(*desc)) {
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
        std::lock_guard lock(state_->mutex);
        state_->buffers.push_back(created);
        Counters& counters = state_->counters;
        ++counters.buffersCreated;
        ++counters.buffersLive;
        counters.buffersLivePeak = std::max(counters.buffersLivePeak, counters.buffersLive);
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
    std::lock_guard lock(state_->mutex);
    state_->accept = std::move(accept);
}

void SimulatedSoundBackend::SetSource(SimulatedSource source) {
    std::lock_guard lock(state_->mutex);
    state_->source = std::move(source);
}

void SimulatedSoundBackend::Fail(SimulatedOperation operation, HResult code, int times) {
    std::lock_guard lock(state_->mutex);
    State::FailureRule& rule = state_->failures[static_cast<int>(operation)];
    rule.code = times == 0 ? kOk : code;
    rule.times = times;
}

void SimulatedSoundBackend::Recover(SimulatedOperation operation) {
    Fail(operation, kOk, 0);
}

void SimulatedSoundBackend::LoseDevice() {
    std::lock_guard lock(state_->mutex);
    state_->deviceGone = true;
    for (Buffer* buffer : state_->buffers) {
        buffer->running_ = false;
        if (!buffer->lost_.exchange(true)) {
            ++state_->counters.buffersLost;
        }
    }
}

void SimulatedSoundBackend::RestoreDevice() {
    std::lock_guard lock(state_->mutex);
    state_->deviceGone = false;
}

void SimulatedSoundBackend::StallDevice() {
    std::lock_guard lock(state_->mutex);
    state_->stalled = true;
}

void SimulatedSoundBackend::ResumeDevice() {
    std::lock_guard lock(state_->mutex);
    state_->stalled = false;
}

void SimulatedSoundBackend::Advance(std::uint64_t frames) {
    std::lock_guard lock(state_->mutex);
    if (state_->stalled) {
        return;
    }
    for (Buffer* buffer : state_->buffers) {
        state_->RecordLocked(*buffer, frames);
    }
}

void SimulatedSoundBackend::AdvanceTime(std::chrono::nanoseconds duration) {
    if (duration.count() <= 0) {
        return;
    }
    std::lock_guard lock(state_->mutex);
    if (state_->stalled) {
        return;
    }
    for (Buffer* buffer : state_->buffers) {
        if (!buffer->running_) {
            continue;
        }
        // Divided last, so that whole frames come out whole.
        buffer->fraction_ += static_cast<double>(buffer->format_.nSamplesPerSec) *
                             static_cast<double>(duration.count()) / 1e9;
        const double whole = std::floor(buffer->fraction_);
        buffer->fraction_ -= whole;
        state_->RecordLocked(*buffer, static_cast<std::uint64_t>(whole));
    }
}

void SimulatedSoundBackend::StartRealTime(std::chrono::milliseconds period) {
    std::lock_guard lock(state_->mutex);
    if (state_->clock.joinable()) {
        return;
    }
    state_->clock = std::jthread([this, period](const std::stop_token& stop) {
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
        std::lock_guard lock(state_->mutex);
        clock = std::move(state_->clock);
    }
    // Joined without the lock: the clock takes it on every tick.
}

SimulatedSoundBackend::Counters SimulatedSoundBackend::GetCounters() const {
    std::lock_guard lock(state_->mutex);
    return state_->counters;
}

CaptureBufferDesc SimulatedSoundBackend::LastBufferDesc() const {
    std::lock_guard lock(state_->mutex);
    return state_->lastDesc;
}

WaveFormat SimulatedSoundBackend::LastBufferFormat() const {
    std::lock_guard lock(state_->mutex);
    return state_->lastFormat;
}

std::uint64_t SimulatedSoundBackend::RecordedFrames() const {
    std::lock_guard lock(state_->mutex);
    return state_->buffers.empty() ? 0 : state_->buffers.back()->frames_;
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
    std::lock_guard lock(state_->mutex);
    ++state_->counters.devicesCreated;
    ++state_->counters.devicesLive;
    *device = created;
    return kOk;
}

}  // namespace stemora
