#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/uTuner.h"
#include "capture/PortAudioSound.h"
#include "capture/SimulatedSound.h"
#include "core/TuningState.h"
#include "support/BlockSpectrum.h"

namespace stemora {
namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------------
// Fakes

// Records what the thread asks of the window, from the capture thread.
class FakeWindow : public ITunerWindow {
  public:
    void PostSoundModeCaption(std::string caption) override {
        std::lock_guard lock(mutex_);
        events_.push_back("caption " + caption);
    }
    void PostSoundModeVisible() override {
        std::lock_guard lock(mutex_);
        events_.push_back("visible");
        if (ThrowOnVisible) {
            throw std::runtime_error("window gone");
        }
    }
    void CloseDeviceCheck() noexcept override {
        std::lock_guard lock(mutex_);
        events_.push_back("close device check");
    }
    std::vector<std::string> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

    std::atomic<bool> ThrowOnVisible{false};

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

template <class Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class TunerThreadTest : public ::testing::Test {
  protected:
    // The thread raises DeviceLost() just before it posts the caption, so a test that has seen
    // the one may still have to wait a moment for the other.
    bool lossShown() const {
        const std::vector<std::string> events = window_.Events();
        return !events.empty() && events.back() == "caption " + std::string(kMsgDeviceLost);
    }

    SampleBuffers buffers_;
    std::atomic<double> decimationRate_{1760.0};
    FakeWindow window_;
    SimulatedSoundBackend backend_;  // declared after the buffers: the threads go first
};

// ---------------------------------------------------------------------------------------------
// Format choice

struct ChoiceCase {
    const char* Name;
    bool (*Accept)(const WaveFormat&);
    std::int32_t Rate;
    std::int32_t BytesPerSample;
    std::int32_t Channels;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
    *os << c.Name;
}

class FormatChoice : public TunerThreadTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(FormatChoice, PicksTheExpectedFormat) {
    const ChoiceCase& c = GetParam();
    backend_.AcceptFormats(c.Accept);
    TTunerThread thread(buffers_, decimationRate_, window_, backend_, /*createSuspended=*/true);
    EXPECT_EQ(thread.SampleRate(), c.Rate);
    EXPECT_EQ(thread.BytesPerSample(), c.BytesPerSample);
    EXPECT_EQ(thread.Channels(), c.Channels);
    EXPECT_EQ(thread.BytesPerFrame(), c.BytesPerSample * c.Channels);
    const TSoundCaptureFormat& chosen =
        thread.CaptureStream()->Formats().Items(thread.CaptureStream()->FormatIndex());
    EXPECT_EQ(chosen.SamplesPerSec, c.Rate);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, FormatChoice,
    ::testing::Values(
        ChoiceCase{"AcceptsEverything", [](const WaveFormat&) { return true; }, 96000, 4, 2},
        ChoiceCase{
            "Only16BitUpTo48000",
            [](const WaveFormat& f) { return f.wBitsPerSample == 16 && f.nSamplesPerSec <= 48000; },
            48000, 2, 2},
        ChoiceCase{"TwentyFourBitMonoAtTheTopRate",
                   [](const WaveFormat& f) {
                       return f.nSamplesPerSec == 44100 || f.nSamplesPerSec == 8000 ||
                              (f.wBitsPerSample == 24 && f.nChannels == 1);
                   },
                   96000, 3, 1},
        // None of the tuner's rates: the seventh accepted format, 8000 Hz 32-bit mono.
        ChoiceCase{"LowRatesOnly", [](const WaveFormat& f) { return f.nSamplesPerSec < 44100; },
                   8000, 4, 1},
        // Only 8-bit formats: the seventh is 33075 Hz 8-bit mono, though 8 bits are never
        // chosen by the scan.
        ChoiceCase{"EightBitOnly", [](const WaveFormat& f) { return f.wBitsPerSample == 8; }, 33075,
                   1, 1}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return info.param.Name; });

TEST_F(TunerThreadTest, NoMatchAndFewerThanSevenFormatsIsAListError) {
    backend_.AcceptFormats(
        [](const WaveFormat& f) { return f.nSamplesPerSec == 8000 && f.wBitsPerSample <= 16; });
    try {
        TTunerThread thread(buffers_, decimationRate_, window_, backend_);
        FAIL() << "expected a list error";
    } catch (const EListError& error) {
        EXPECT_STREQ(error.what(), "List index out of bounds (6)");
    }
    EXPECT_EQ(backend_.GetCounters().DevicesLive, 0);
    EXPECT_TRUE(window_.Events().empty());
}

TEST_F(TunerThreadTest, MissingSoundLibraryFailsTheConstructor) {
    PortAudioBackend missing("libstemora-no-such-library.so.2");
    try {
        TTunerThread thread(buffers_, decimationRate_, window_, missing);
        FAIL() << "expected EDirectXError";
    } catch (const EDirectXError& error) {
        EXPECT_STREQ(error.what(), "Necessary since DirectX5");
    }
}

// ---------------------------------------------------------------------------------------------
// The running thread

TEST_F(TunerThreadTest, ToneReachesSpecAtTheCentreBin) {
    backend_.SetSource(SimulatedSource::Tone(440.0));
    backend_.StartRealTime();
    std::vector<float> spec(kRingLength);
    std::vector<float> specHi(kRingLength);
    {
        TTunerThread thread(buffers_, decimationRate_, window_, backend_);
        ASSERT_EQ(thread.SampleRate(), 96000);
        ASSERT_EQ(thread.BytesPerFrame(), 8);
        // 4096 Spec values at 1760 per second take 2.33 s; the window covers the oldest half.
        std::this_thread::sleep_for(2700ms);
        ASSERT_FALSE(thread.Finished());
        std::lock_guard lock(thread.CaptureLock());
        std::copy_n(buffers_.Spec.Block(), kRingLength, spec.begin());
        std::copy_n(buffers_.SpecHi.Block(), kRingLength, specHi.begin());
    }
    backend_.StopRealTime();

    const test::BlockPeak peak = test::PeakOf(spec.data(), 1000, 1050);
    EXPECT_EQ(peak.Bin, 1024);
    EXPECT_GT(peak.Magnitude, 100.0 * peak.RunnerUp);
    // SpecHi runs at twice the rate: the same tone sits at bin 512 there.
    EXPECT_EQ(test::PeakOf(specHi.data(), 500, 524).Bin, 512);
}

TEST_F(TunerThreadTest, StopEndsTheThreadWithinAPassAndCleansUp) {
    backend_.AcceptFormats(
        [](const WaveFormat& f) { return f.nSamplesPerSec == 48000 && f.wBitsPerSample == 16; });
    backend_.SetSource(SimulatedSource::Tone(440.0));
    backend_.StartRealTime();
    TTunerThread thread(buffers_, decimationRate_, window_, backend_);
    ASSERT_TRUE(waitFor([&] { return backend_.RecordedFrames() > 4800; }, 2000ms));

    const auto asked = std::chrono::steady_clock::now();
    thread.RequestStop();
    ASSERT_TRUE(waitFor([&] { return thread.Finished(); }, 1000ms));
    // A pass is a 1 ms sleep plus a few microseconds of work; allow for a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 200ms);

    const std::vector<std::string> expected = {"caption ---", "visible", "close device check"};
    EXPECT_EQ(window_.Events(), expected);
    // The stream was closed and destroyed on the capture thread: nothing of the device is left.
    const SimulatedSoundBackend::Counters counters = backend_.GetCounters();
    EXPECT_EQ(counters.BuffersLive, 0);
    EXPECT_EQ(counters.DevicesLive, 0);
    EXPECT_EQ(counters.Stops, 1);
    EXPECT_TRUE(thread.CaptureLock().try_lock());
    thread.CaptureLock().unlock();
    backend_.StopRealTime();
}

// A stop asked for before a suspended thread starts still holds: the thread ends after its
// first pass and cleans up, instead of capturing until it is destroyed.
TEST_F(TunerThreadTest, StopRequestedBeforeStartEndsTheFirstPass) {
    TTunerThread thread(buffers_, decimationRate_, window_, backend_, /*createSuspended=*/true);
    thread.RequestStop();
    thread.Start();
    ASSERT_TRUE(waitFor([&] { return thread.Finished(); }, 2000ms));
    EXPECT_EQ(window_.Events().back(), "close device check");
    EXPECT_EQ(backend_.GetCounters().DevicesLive, 0);
}

TEST_F(TunerThreadTest, FailedOpenEndsTheThreadQuietlyWithoutCleanUp) {
    backend_.AcceptFormats([](const WaveFormat& f) { return f.wBitsPerSample == 16; });
    TTunerThread thread(buffers_, decimationRate_, window_, backend_, /*createSuspended=*/true);
    backend_.Fail(SimulatedOperation::CreateBuffer);
    thread.Start();
    ASSERT_TRUE(waitFor([&] { return thread.Finished(); }, 2000ms));
    // The label stays hidden and the device check stays open; the lock is free.
    EXPECT_EQ(window_.Events(), std::vector<std::string>{"caption ---"});
    EXPECT_NE(thread.CaptureStream(), nullptr);
    EXPECT_TRUE(thread.CaptureLock().try_lock());
    thread.CaptureLock().unlock();
}

TEST_F(TunerThreadTest, ExceptionInsideTheBodyEndsTheThreadQuietly) {
    window_.ThrowOnVisible = true;
    TTunerThread thread(buffers_, decimationRate_, window_, backend_);
    ASSERT_TRUE(waitFor([&] { return thread.Finished(); }, 2000ms));
    EXPECT_EQ(window_.Events().size(), 2u);
}

TEST_F(TunerThreadTest, DestructorJoinsARunningThread) {
    backend_.SetSource(SimulatedSource::Tone(440.0));
    backend_.StartRealTime();
    {
        TTunerThread thread(buffers_, decimationRate_, window_, backend_);
        std::this_thread::sleep_for(20ms);
    }
    // Joined: the clean-up has run and released the device before the backend goes.
    EXPECT_EQ(backend_.GetCounters().DevicesLive, 0);
    EXPECT_EQ(window_.Events().back(), "close device check");
    backend_.StopRealTime();
}

// ---------------------------------------------------------------------------------------------
// A device that goes away and comes back

bool blockIsZero(const float* block) {
    return std::all_of(block, block + kRingLength, [](float v) { return v == 0.0f; });
}

// The device vanishes under a running thread (its server killed), stays away for a while and
// comes back: the loss shows within a pass, the display's blocks are cleared, the thread tries
// again at its interval without holding CaptureLock, and capture resumes on its own in the same
// format with the tone back at the centre bin.
TEST_F(TunerThreadTest, LostDeviceIsReopenedOnItsOwnOnceItIsBack) {
    backend_.AcceptFormats(
        [](const WaveFormat& f) { return f.nSamplesPerSec == 48000 && f.wBitsPerSample == 16; });
    backend_.SetSource(SimulatedSource::Tone(440.0));
    backend_.StartRealTime();
    TTunerThread thread(buffers_, decimationRate_, window_, backend_);
    auto specPeak = [&] {
        std::lock_guard lock(thread.CaptureLock());
        return test::PeakOf(buffers_.Spec.Block(), 1000, 1050);
    };
    ASSERT_TRUE(waitFor([&] { return specPeak().Bin == 1024; }, 4000ms));
    const std::int32_t requestsBefore = backend_.GetCounters().BufferRequests;

    backend_.LoseDevice();
    ASSERT_TRUE(waitFor([&] { return thread.DeviceLost(); }, 100ms));
    EXPECT_TRUE(waitFor([&] { return lossShown(); }, 100ms));
    {
        std::lock_guard lock(thread.CaptureLock());
        EXPECT_TRUE(blockIsZero(buffers_.Spec.Block()));
        EXPECT_TRUE(blockIsZero(buffers_.SpecHi.Block()));
    }
    // While the device is away the lock is free: a display tick never waits for an attempt.
    auto longestWait = std::chrono::steady_clock::duration::zero();
    const auto awayFrom = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - awayFrom < 1200ms) {
        const auto asked = std::chrono::steady_clock::now();
        thread.CaptureLock().lock();
        longestWait = std::max(longestWait, std::chrono::steady_clock::now() - asked);
        thread.CaptureLock().unlock();
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_LT(longestWait, 20ms);
    // One attempt per interval, not a spin: four in 1.2 s at 300 ms.
    const std::int32_t attempts = backend_.GetCounters().BufferRequests - requestsBefore;
    EXPECT_GE(attempts, 2);
    EXPECT_LE(attempts, 6);
    EXPECT_TRUE(thread.DeviceLost());
    EXPECT_FALSE(thread.Finished());

    backend_.RestoreDevice();
    ASSERT_TRUE(waitFor([&] { return !thread.DeviceLost(); }, 1000ms));
    EXPECT_EQ(thread.Recoveries(), 1);
    const WaveFormat format = backend_.LastBufferFormat();
    EXPECT_EQ(format.nSamplesPerSec, 48000u);
    EXPECT_EQ(format.wBitsPerSample, 16);
    // Only the new sound: the block fills from zeros, so a peak at the centre is the tone
    // recorded since the return.
    ASSERT_TRUE(waitFor([&] { return specPeak().Bin == 1024; }, 4000ms));
    const SimulatedSoundBackend::Counters counters = backend_.GetCounters();
    EXPECT_EQ(counters.BuffersLive, 1);
    EXPECT_EQ(counters.BuffersLost, 1);
    thread.RequestStop();
    ASSERT_TRUE(waitFor([&] { return thread.Finished(); }, 1000ms));
    EXPECT_EQ(backend_.GetCounters().BuffersLive, 0);
    backend_.StopRealTime();
}

// The note changes while the tone plays: from the first pass at the new rate the blocks hold
// only what was emitted at that rate (no more values than the time since the change gives),
// never the old note's sound read at the new rate.
TEST_F(TunerThreadTest, NoteChangeLeavesNoOldSoundInTheBlocks) {
    backend_.AcceptFormats(
        [](const WaveFormat& f) { return f.nSamplesPerSec == 48000 && f.wBitsPerSample == 16; });
    backend_.SetSource(SimulatedSource::Tone(440.0));
    backend_.StartRealTime();
    TTunerThread thread(buffers_, decimationRate_, window_, backend_);
    ASSERT_TRUE(waitFor(
        [&] {
            std::lock_guard lock(thread.CaptureLock());
            return test::PeakOf(buffers_.Spec.Block(), 1000, 1050).Bin == 1024;
        },
        4000ms));

    const double e2 = DecimationRateFor(-17);
    const auto changed = std::chrono::steady_clock::now();
    decimationRate_.store(e2);
    int newRatePasses = 0;
    while (std::chrono::steady_clock::now() - changed < 500ms) {
        {
            std::lock_guard lock(thread.CaptureLock());
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - changed).count();
            if (buffers_.BlockRate() == e2) {
                ++newRatePasses;
                // A pass may carry up to a few milliseconds of sound from before the change.
                for (const auto& [block, rate] : {std::pair{buffers_.Spec.Block(), e2},
                                                  std::pair{buffers_.SpecHi.Block(), 2 * e2}}) {
                    const auto nonZero = std::count_if(block, block + kRingLength,
                                                       [](float v) { return v != 0.0f; });
                    ASSERT_LE(nonZero, (seconds + 0.02) * rate + 2) << seconds << " s";
                }
            } else {
                ASSERT_EQ(buffers_.BlockRate(), 1760.0);
            }
        }
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_GT(newRatePasses, 10);
    backend_.StopRealTime();
}

// A device that stays open but delivers nothing (its server stopped) counts as lost within a
// second and a half: the loss caption, cleared blocks, attempts to reopen at the loss interval,
// and capture back once it delivers again.
TEST_F(TunerThreadTest, StalledDeviceCountsAsLostAndRecovers) {
    backend_.AcceptFormats([](const WaveFormat& f) { return f.wBitsPerSample == 16; });
    backend_.SetSource(SimulatedSource::Tone(440.0));
    backend_.StartRealTime();
    TTunerThread thread(buffers_, decimationRate_, window_, backend_);
    ASSERT_TRUE(waitFor([&] { return backend_.RecordedFrames() > 4800; }, 2000ms));
    const std::int32_t requestsBefore = backend_.GetCounters().BufferRequests;

    backend_.StallDevice();
    const auto stalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor([&] { return thread.DeviceLost(); }, 1500ms));
    EXPECT_GE(std::chrono::steady_clock::now() - stalled, kStallTimeout - 50ms);
    EXPECT_TRUE(waitFor([&] { return lossShown(); }, 100ms));
    {
        std::lock_guard lock(thread.CaptureLock());
        EXPECT_TRUE(blockIsZero(buffers_.Spec.Block()));
    }
    // Reopened buffers stall too: the loss stays shown, and each new buffer gets its second.
    std::this_thread::sleep_for(2500ms);
    EXPECT_TRUE(thread.DeviceLost());
    const std::int32_t attempts = backend_.GetCounters().BufferRequests - requestsBefore;
    EXPECT_GE(attempts, 1);
    EXPECT_LE(attempts, 3);

    backend_.ResumeDevice();
    ASSERT_TRUE(waitFor([&] { return !thread.DeviceLost(); }, 2500ms));
    EXPECT_EQ(thread.Recoveries(), 1);
    thread.RequestStop();
    ASSERT_TRUE(waitFor([&] { return thread.Finished(); }, 1000ms));
    backend_.StopRealTime();
}

// No false alarm from a healthy device: one that delivers in 200 ms periods, and a capture
// thread held up for 300 to 500 ms by a pass that cannot get the lock.
TEST_F(TunerThreadTest, SlowPeriodsAndDelayedPassesAreNoLoss) {
    backend_.AcceptFormats([](const WaveFormat& f) { return f.wBitsPerSample == 16; });
    backend_.SetSource(SimulatedSource::Tone(440.0));
    backend_.StartRealTime(200ms);
    TTunerThread thread(buffers_, decimationRate_, window_, backend_);
    ASSERT_TRUE(waitFor([&] { return backend_.RecordedFrames() > 0; }, 2000ms));
    const auto until = std::chrono::steady_clock::now() + 3s;
    for (auto hold : {300ms, 500ms, 400ms}) {
        std::lock_guard lock(thread.CaptureLock());
        std::this_thread::sleep_for(hold);
    }
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_FALSE(thread.DeviceLost());
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(backend_.GetCounters().Starts, 1) << "capture was started over";
    backend_.StopRealTime();
}

// A stop asked for while the device is away ends the thread at once, with its clean-up.
TEST_F(TunerThreadTest, StopWhileTheDeviceIsAwayEndsTheThreadPromptly) {
    backend_.AcceptFormats([](const WaveFormat& f) { return f.wBitsPerSample == 16; });
    backend_.StartRealTime();
    TTunerThread thread(buffers_, decimationRate_, window_, backend_);
    ASSERT_TRUE(waitFor([&] { return backend_.RecordedFrames() > 0; }, 2000ms));
    backend_.LoseDevice();
    ASSERT_TRUE(waitFor([&] { return thread.DeviceLost(); }, 1000ms));
    std::this_thread::sleep_for(100ms);
    const auto asked = std::chrono::steady_clock::now();
    thread.RequestStop();
    ASSERT_TRUE(waitFor([&] { return thread.Finished(); }, 1000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 200ms);
    EXPECT_EQ(window_.Events().back(), "close device check");
    EXPECT_EQ(backend_.GetCounters().DevicesLive, 0);
    backend_.StopRealTime();
}

// A single failed position query counts as a loss too: the thread starts over on a new buffer
// rather than trusting a device that stopped answering, and carries on.
TEST_F(TunerThreadTest, FailedPositionQueryStartsCaptureOverOnANewBuffer) {
    backend_.AcceptFormats([](const WaveFormat& f) { return f.wBitsPerSample == 16; });
    backend_.StartRealTime();
    TTunerThread thread(buffers_, decimationRate_, window_, backend_);
    ASSERT_TRUE(waitFor([&] { return backend_.RecordedFrames() > 0; }, 2000ms));
    backend_.Fail(SimulatedOperation::GetPosition, kErrFail, 1);
    ASSERT_TRUE(waitFor([&] { return thread.Recoveries() == 1; }, 1500ms));
    EXPECT_FALSE(thread.DeviceLost());
    EXPECT_EQ(backend_.GetCounters().BuffersLive, 1);
    ASSERT_TRUE(waitFor([&] { return backend_.RecordedFrames() > 0; }, 2000ms));
    backend_.StopRealTime();
}

// Frames whose first channel counts 0, 1, 2, ... (mod 32768 for 16 bits) and whose second is 0:
// each converted sample is its frame's number, so a shifted frame boundary shows at once.
std::vector<std::uint8_t> countingFrames(int frames, int bytesPerSample) {
    std::vector<std::uint8_t> bytes;
    for (int k = 0; k < frames; ++k) {
        const std::uint32_t value = bytesPerSample == 2 ? k & 0x7FFF : k;
        for (int b = 0; b < bytesPerSample; ++b) {
            bytes.push_back(static_cast<std::uint8_t>(value >> (8 * b)));
        }
        bytes.insert(bytes.end(), bytesPerSample, 0);
    }
    return bytes;
}

class ReadCap : public TunerThreadTest, public ::testing::WithParamInterface<int> {};

// 40000 frames wait at once: the passes take the largest whole number of frames not above
// 65526 bytes (16381 frames of 4 bytes, 8190 of 8), so every later frame stays aligned.
TEST_P(ReadCap, KeepsFrameAlignment) {
    const int bytesPerSample = GetParam();
    const int frameBytes = 2 * bytesPerSample;
    const int framesPerPass = 65526 / frameBytes;
    constexpr int kFrames = 40000;
    backend_.AcceptFormats([bytesPerSample](const WaveFormat& f) {
        return f.nSamplesPerSec == 48000 && f.wBitsPerSample == 8 * bytesPerSample &&
               f.nChannels == 2;
    });
    backend_.SetSource(SimulatedSource::Bytes(countingFrames(kFrames, bytesPerSample), false));
    TTunerThread thread(buffers_, decimationRate_, window_, backend_);
    ASSERT_EQ(thread.BytesPerFrame(), frameBytes);
    ASSERT_TRUE(waitFor([&] { return backend_.GetCounters().Starts == 1; }, 2000ms));
    {
        // Everything arrives between two passes.
        std::lock_guard lock(thread.CaptureLock());
        backend_.Advance(kFrames);
    }
    // The last pass with data converts the remainder into the start of SampleBuffer; passes
    // without data convert nothing.
    const int lastFirst = (kFrames / framesPerPass) * framesPerPass;
    const int lastCount = kFrames - lastFirst;
    auto expectedAt = [&](int j) {
        const int k = lastFirst + j;
        return static_cast<float>(bytesPerSample == 2 ? k & 0x7FFF : k);
    };
    const float* samples = buffers_.SampleBuffer();
    auto lastPassSeen = [&] {
        std::lock_guard lock(thread.CaptureLock());
        return samples[0] == expectedAt(0) && samples[lastCount - 1] == expectedAt(lastCount - 1);
    };
    ASSERT_TRUE(waitFor(lastPassSeen, 3000ms)) << "first sample " << samples[0];
    std::lock_guard lock(thread.CaptureLock());
    for (int j = 0; j < lastCount; ++j) {
        ASSERT_EQ(samples[j], expectedAt(j)) << "sample " << j;
    }
}

INSTANTIATE_TEST_SUITE_P(FourAndEightByteFrames, ReadCap, ::testing::Values(2, 4));

}  // namespace
}  // namespace stemora
