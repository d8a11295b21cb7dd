// The output-device check on the real stack: PortAudio on ALSA's default device, routed to a
// private sound server (tests/e2e/with-pulse.sh or with-pipewire.sh), and once with no server at
// all.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "CaptureTestSupport.h"
#include "capture/LibraryLoader.h"
#include "capture/PortAudioSound.h"
#include "capture/uDirectSound.h"

namespace stemora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool privateServer() {
    return std::getenv("STEMORA_SOUND_RESTART") != nullptr;
}

#define REQUIRE_PRIVATE_SERVER()                                                   \
    if (!privateServer()) {                                                        \
        GTEST_SKIP() << "run through tests/e2e/with-pulse.sh or with-pipewire.sh"; \
    }

// Whether PortAudio is initialised right now: Pa_GetDeviceCount answers paNotInitialized
// (-10000) otherwise. The library is the one the back ends loaded, so this is their PortAudio.
bool portAudioInitialised() {
    using DeviceCount = int (*)();
    const auto count =
        reinterpret_cast<DeviceCount>(GetLibraryProc(kPortAudioLibrary, "Pa_GetDeviceCount"));
    return count() != -10000;
}

// Runs `step` on a thread of its own. A step still running after `limit` fails the test and
// ends the process, since a hung step cannot be joined.
template <class Step>
auto finishesWithin(Step step, std::chrono::milliseconds limit) {
    auto done = std::async(std::launch::async, step);
    if (done.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "hung for more than " << limit.count() << " ms";
        std::fflush(stdout);
        std::_Exit(1);
    }
    return done.get();
}

// Two full rounds: PortAudio is initialised only while a stream is held, so each Close
// balances its Open and the second round starts from a clean PortAudio.
TEST(PulseDeviceCheck, QueryOpenCloseTwiceKeepsPortAudioBalanced) {
    REQUIRE_PRIVATE_SERVER();
    PortAudioDeviceCheck check;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_TRUE(check.Query());
        EXPECT_FALSE(portAudioInitialised()) << "Query left PortAudio initialised";
        ASSERT_TRUE(check.Open());
        EXPECT_TRUE(portAudioInitialised());
        // A second Open keeps the one stream.
        EXPECT_TRUE(check.Open());
        check.Close();
        EXPECT_FALSE(portAudioInitialised()) << "Close left PortAudio initialised";
        check.Close();
    }
    // The destructor closes a stream still held.
    {
        PortAudioDeviceCheck held;
        ASSERT_TRUE(held.Open());
    }
    EXPECT_FALSE(portAudioInitialised());
}

// The window holds the output device while the capture thread records from the same PortAudio
// (here on one shared back end and on a back end of its own), and the capture thread closes
// the check when it ends: recording goes on across that Close, and once both are done
// PortAudio is terminated.
TEST(PulseDeviceCheck, HeldOutputAndCaptureRunTogether) {
    REQUIRE_PRIVATE_SERVER();
    for (const bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "shared back end" : "own back ends");
        PortAudioBackend backend;
        auto check = shared ? std::make_unique<PortAudioDeviceCheck>(backend)
                            : std::make_unique<PortAudioDeviceCheck>();
        ASSERT_TRUE(check->Query());
        ASSERT_TRUE(check->Open());

        auto stream = std::make_unique<TSoundCaptureStream>(nullptr, backend);
        stream->SetFormatIndex(test::FormatIndexOf(stream->Formats(), 48000, 16, 2));
        stream->Open();
        std::vector<std::uint8_t> bytes(192000);
        // Reads for `span`, answering the bytes that arrived.
        auto capture = [&](std::chrono::milliseconds span) {
            std::int64_t total = 0;
            const auto start = Clock::now();
            while (Clock::now() - start < span) {
                std::this_thread::sleep_for(5ms);
                total += stream->Read(bytes.data(), stream->Available());
            }
            return total;
        };
        // PulseAudio takes up to about a second for the first bytes of a new recording.
        EXPECT_GT(capture(2000ms), 0);
        // Closed from another thread, as the capture thread's clean-up does.
        finishesWithin([&] { check->Close(); }, 5000ms);
        EXPECT_TRUE(portAudioInitialised()) << "the capture device still needs PortAudio";
        // Half a second at 192000 bytes per second; PulseAudio delivers in blocks.
        EXPECT_GT(capture(500ms), 48000) << "recording stopped with the check's Close";
        stream.reset();
        check.reset();
        EXPECT_FALSE(portAudioInitialised());
    }
}

// With no sound server and no sound card ALSA's default device cannot be opened, so PortAudio
// has no default output device: Query and Open both answer false, quickly, and leave PortAudio
// terminated. Run by ctest with PULSE_SERVER naming a missing socket.
TEST(NoSoundServer, CheckAnswersFalseWithoutHanging) {
    if (std::getenv("STEMORA_EXPECT_NO_SOUND") == nullptr) {
        GTEST_SKIP() << "run by ctest, which names a missing sound server";
    }
    if (std::filesystem::exists("/dev/snd")) {
        GTEST_SKIP() << "this machine has a sound card, which PortAudio may open without a server";
    }
    PortAudioDeviceCheck check;
    EXPECT_FALSE(finishesWithin([&] { return check.Query(); }, 10000ms));
    EXPECT_FALSE(finishesWithin([&] { return check.Open(); }, 10000ms));
    finishesWithin([&] { check.Close(); }, 5000ms);
    EXPECT_FALSE(portAudioInitialised());
}

}  // namespace
}  // namespace stemora
