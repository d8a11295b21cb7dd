// The signal path shared by two threads as the tuner runs it: a capture thread feeds the
// decimators under a lock, the display side copies the blocks under the same lock and analyses
// its frames outside it. Run under ThreadSanitizer too.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <numbers>
#include <thread>

#include "core/SampleBuffers.h"
#include "core/SpectrumAnalysis.h"
#include "core/TuningState.h"

namespace stemora {
namespace {

TEST(AnalysisThreads, TicksRunWhileCaptureFeedsTheDecimators) {
    auto buffers = std::make_unique<SampleBuffers>();
    auto analyser = std::make_unique<SpectrumAnalyser>();
    analyser->BuildWindowTable();
    std::mutex captureLock;
    const double rate = DecimationRateFor(kDefaultNoteShift);

    // Three seconds of a 440 Hz tone at 48000 Hz in 1 ms passes.
    std::thread capture([&] {
        buffers->ResetDecimators();
        for (int64_t start = 0; start < 3 * 48000; start += 48) {
            const std::lock_guard<std::mutex> hold(captureLock);
            float* samples = buffers->SampleBuffer();
            for (int32_t j = 0; j < 48; ++j) {
                samples[j] = static_cast<float>(
                    10000.0 * std::sin(2 * std::numbers::pi * 440.0 * (start + j) / 48000.0));
            }
            buffers->FeedPass(48000, 48, rate);
        }
    });
    auto tick = [&] {
        {
            const std::lock_guard<std::mutex> hold(captureLock);
            analyser->PackFrames(buffers->Spec.Block(), buffers->SpecHi.Block());
        }
        return analyser->AnalyseSpectra(".").SpecPeakBin;
    };
    for (int i = 0; i < 20; ++i) {
        tick();
    }
    capture.join();
    EXPECT_EQ(tick(), 1024);
}

}  // namespace
}  // namespace stemora
