// One capture pass: the Spec feed then the SpecHi feed of 1 ms of sound, at the default
// centre note (DecimationRate 1760). Goal: under 3 us for the pair.

#include "core/SampleBuffers.h"
#include "core/TuningState.h"

#include <benchmark/benchmark.h>

#include <cmath>

namespace {

void capturePass(benchmark::State& state) {
    const auto captureRate = static_cast<int32_t>(state.range(0));
    const int32_t frames = captureRate / 1000;
    stemora::SampleBuffers buffers;
    // A 440 Hz tone, as the capture thread would convert it.
    for (int32_t k = 0; k < frames; ++k) {
        buffers.SampleBuffer()[k] =
            0.5f * static_cast<float>(std::sin(6.283185307 * 440.0 * k / captureRate));
    }
    buffers.ResetDecimators();
    const double rate = stemora::DecimationRateFor(stemora::kDefaultNoteShift);
    for (auto _ : state) {
        buffers.FeedPass(captureRate, frames, rate);
        benchmark::DoNotOptimize(buffers.Spec.Block());
        benchmark::DoNotOptimize(buffers.SpecHi.Block());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * frames);
}

}  // namespace

BENCHMARK(capturePass)->Arg(48000)->Arg(96000);
