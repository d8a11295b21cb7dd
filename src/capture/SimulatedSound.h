#pragma once

// A simulated sound back end for tests and benchmarks: a capture device that accepts a
// configurable set of formats and records a generated signal into circular capture buffers, on a
// clock that the test drives (Advance) or in real time (a thread). Any one operation can be made
// to fail on demand.
//
// It follows the back-end contract exactly: a buffer is a circle of exactly dwBufferBytes bytes;
// the read cursor marks how far data is complete (it equals the capture cursor: a frame is
// written whole before the cursors pass it); Lock hands out one or two pieces.
//
// Threads: every member is safe to call from any thread. Recording and Lock exclude each other
// per buffer (the buffer's data stay locked from Lock to Unlock), so a reader never sees a frame
// half written, even when it falls a whole buffer behind.
//
//   SimulatedSoundBackend backend;
//   backend.AcceptFormats([](const WaveFormat& f) { return f.wBitsPerSample <= 16; });
//   backend.SetSource(SimulatedSource::Tone(440.0));
//   TSoundCaptureStream stream(nullptr, backend);
//   stream.Open();
//   backend.Advance(4800);  // 0.1 s at 48000 Hz

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/SoundPlatform.h"

namespace stemora {

// What the simulated device records, the same on every running buffer.
class SimulatedSource {
  public:
    // Value of channel `channel` at frame `frame` (counted from the buffer's Start) at `rate` Hz,
    // in -1..1 (clamped); encoded for the buffer's format.
    using SampleFunction =
        std::function<double(std::uint64_t frame, std::uint32_t channel, std::uint32_t rate)>;

    // The format's silence: 0x80 bytes for 8 bits, zeros otherwise.
    static SimulatedSource Silence();
    // amplitude * sin(2 pi frequency t), the same on every channel; amplitude in 0..1 of full
    // scale.
    static SimulatedSource Tone(double frequencyHz, double amplitude = 0.5);
    // Any signal, computed per sample. The function runs with the device locked: it must not
    // call the back end.
    static SimulatedSource Samples(SampleFunction function);
    // Raw bytes in the buffer's format, recorded as they are from the first byte on; repeated
    // when `loop`, else followed by silence.
    static SimulatedSource Bytes(std::vector<std::uint8_t> bytes, bool loop = true);

    SimulatedSource();  // silence

  private:
    friend class SimulatedSoundBackend;
    enum class Kind { Silence, Samples, Bytes };
    Kind kind_ = Kind::Silence;
    SampleFunction function_;
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
    bool loop_ = true;
};

// The operations that can be made to fail.
enum class SimulatedOperation {
    OpenLibrary,   // DirectSoundCaptureCreate throws, as for a missing library
    CreateDevice,  // DirectSoundCaptureCreate returns the failure code
    CreateBuffer,  // CreateCaptureBuffer returns the failure code
    GetPosition,   // GetCurrentPosition returns the failure code
    Lock,          // Lock returns the failure code
};

class SimulatedSoundBackend : public ISoundBackend {
  public:
    // Accepts every well-formed PCM format, records silence, manual clock.
    SimulatedSoundBackend();
    // Stops the real-time clock. Every device and buffer must have been released by then.
    ~SimulatedSoundBackend() override;
    SimulatedSoundBackend(const SimulatedSoundBackend&) = delete;
    SimulatedSoundBackend& operator=(const SimulatedSoundBackend&) = delete;

    // --- configuration ---
    using FormatPredicate = std::function<bool(const WaveFormat&)>;
    // Formats for which CreateCaptureBuffer answers 0; null accepts all. Malformed descriptions
    // (wrong dwSize, no format, not PCM, inconsistent block align or byte rate, zero size) are
    // refused regardless.
    void AcceptFormats(FormatPredicate accept);
    void SetSource(SimulatedSource source);
    // Makes `operation` fail with `code` (non-zero) for its next `times` calls, or for every
    // call with times < 0, until Recover.
    void Fail(SimulatedOperation operation, HResult code = kErrFail, int times = -1);
    void Recover(SimulatedOperation operation);
    // The device goes away, as when its sound server dies or it is unplugged: every buffer stops
    // recording and answers its position query with kErrBufferLost for good, and new buffers
    // are refused (kErrFail) until RestoreDevice.
    void LoseDevice();
    // The device is back: new buffers capture again (the lost ones stay lost).
    void RestoreDevice();
    // The device stops delivering without going away, as when its sound server is stopped:
    // every buffer, old or new, answers its queries but records nothing (time passes unrecorded)
    // until ResumeDevice.
    void StallDevice();
    void ResumeDevice();

    // --- clock ---
    // Every running buffer records `frames` frames.
    void Advance(std::uint64_t frames);
    // Every running buffer records what its rate gives for `duration` (fractions carried over).
    void AdvanceTime(std::chrono::nanoseconds duration);
    // Records in real time on a thread of its own, from now until StopRealTime (or destruction),
    // delivering what each `period` brings at its end, as a device with that period does.
    void StartRealTime(std::chrono::milliseconds period = std::chrono::milliseconds(2));
    void StopRealTime();

    // --- observation ---
    struct Counters {
        int DevicesCreated = 0;
        int DevicesLive = 0;
        int BuffersCreated = 0;  // successful CreateCaptureBuffer calls
        int BuffersLive = 0;
        int BuffersLivePeak = 0;
        int BufferRequests = 0;  // every CreateCaptureBuffer call
        int Starts = 0;
        int Stops = 0;
        int Locks = 0;  // successful Lock calls
        int Unlocks = 0;
        int BuffersLost = 0;  // live buffers that LoseDevice took away
    };
    Counters GetCounters() const;
    // The description of the last CreateCaptureBuffer call (lpwfxFormat null) and its format.
    CaptureBufferDesc LastBufferDesc() const;
    WaveFormat LastBufferFormat() const;
    // Frames recorded by the most recently created buffer that is still alive (0 if none).
    std::uint64_t RecordedFrames() const;

    HResult DirectSoundCaptureCreate(const DeviceGuid* deviceId, ISoundCapture** device,
                                     void* outer) override;

  private:
    class Device;
    class Buffer;
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace stemora
