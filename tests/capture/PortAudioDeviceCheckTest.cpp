// The output-device check without a usable PortAudio: the window must still start, so every
// answer is false and nothing throws.

#include <gtest/gtest.h>

#include <thread>

#include "capture/PortAudioSound.h"

namespace stemora {
namespace {

// A library that cannot be loaded, and one that loads but lacks PortAudio's entries.
constexpr const char* kUnusableLibraries[] = {"libstemora-no-such-library.so.2", "libm.so.6"};

void expectUnusable(IDeviceCheck& check) {
    EXPECT_FALSE(check.Query());
    EXPECT_FALSE(check.Open());
    // Nothing is held: Close does nothing, here and from another thread, any number of times.
    check.Close();
    std::thread([&check] { check.Close(); }).join();
    // Asking again gives the same answer rather than a half-resolved table.
    EXPECT_FALSE(check.Query());
    EXPECT_FALSE(check.Open());
}

TEST(PortAudioDeviceCheck, UnusableLibraryAnswersFalseWithoutThrowing) {
    for (const char* library : kUnusableLibraries) {
        SCOPED_TRACE(library);
        PortAudioDeviceCheck check(library);
        EXPECT_NO_THROW(expectUnusable(check));
    }
}

TEST(PortAudioDeviceCheck, SharedUnusableBackEndStaysUsableForItsOwnReport) {
    for (const char* library : kUnusableLibraries) {
        SCOPED_TRACE(library);
        PortAudioBackend backend(library);
        {
            PortAudioDeviceCheck check(backend);
            EXPECT_NO_THROW(expectUnusable(check));
        }
        // The back end still reports the missing library to the capture stream as before.
        ISoundCapture* device = nullptr;
        EXPECT_ANY_THROW(backend.DirectSoundCaptureCreate(nullptr, &device, nullptr));
        EXPECT_EQ(device, nullptr);
    }
}

}  // namespace
}  // namespace stemora
