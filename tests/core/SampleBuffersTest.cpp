#include "core/SampleBuffers.h"

#include "core/ExtendedRounding.h"
#include "core/TuningState.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace stemora {
namespace {

// The weight of block index i, in extended precision.
long double weight(int32_t i) {
    return std::exp((i - 4097.0L) / 818.2L);
}

// Block value within one float step of the fully extended product.
void expectWeighted(const float* block, int32_t i, long double ringValue) {
    const float exact = static_cast<float>(weight(i) * ringValue);
    EXPECT_LE(
        std::fabs(block[i] - exact),
        std::nextafter(std::fabs(exact), std::numeric_limits<float>::infinity()) - std::fabs(exact))
        << i;
}

void fill(SampleBuffers& buffers, int32_t n, float value) {
    std::fill_n(buffers.SampleBuffer(), n, value);
}

TEST(SampleBuffersTest, StartsZeroAndResets) {
    SampleBuffers buffers;
    for (const Decimator* d : {&buffers.Spec, &buffers.SpecHi}) {
        EXPECT_EQ(d->Count(), 1);
        EXPECT_EQ(d->WritePosition(), 0);
        EXPECT_EQ(d->Block()[4095], 0.0f);
    }
    fill(buffers, 100, 1.0f);
    buffers.Spec.Feed(48000, 100, 1760.0);
    const float kept = buffers.Spec.Block()[4095];
    EXPECT_GT(kept, 0.0f);
    buffers.ResetDecimators();
    EXPECT_EQ(buffers.Spec.Phase(), 0.0f);
    EXPECT_EQ(buffers.Spec.Sum(), 0.0f);
    EXPECT_EQ(buffers.Spec.Count(), 1);
    EXPECT_EQ(buffers.Spec.WritePosition(), 0);
    EXPECT_EQ(buffers.Spec.Ring()[0], 0.0f);
    EXPECT_EQ(buffers.Spec.Block()[4095], kept);  // the block stays until the next feed
    buffers.Spec.Feed(48000, 0, 1760.0);
    EXPECT_EQ(buffers.Spec.Block()[4095], 0.0f);
}

// A pass feeds both decimators at one rate; a pass at another rate than the last starts both on
// clean rings, so no ring ever holds values of two rates. Passes at one rate run on undisturbed.
TEST(SampleBuffersTest, PassAtANewRateStartsOnCleanRings) {
    SampleBuffers buffers;
    SampleBuffers reference;
    fill(buffers, 4800, 1.0f);
    fill(reference, 4800, 1.0f);
    for (int pass = 0; pass < 30; ++pass) {
        buffers.FeedPass(48000, 4800, 1760.0);
        reference.Spec.Feed(48000, 4800, 1760.0);
        reference.SpecHi.Feed(48000, 4800, 3520.0);
    }
    EXPECT_EQ(buffers.BlockRate(), 1760.0);
    for (int32_t i = 0; i < kRingLength; ++i) {
        ASSERT_EQ(buffers.Spec.Block()[i], reference.Spec.Block()[i]) << i;
        ASSERT_EQ(buffers.SpecHi.Block()[i], reference.SpecHi.Block()[i]) << i;
    }
    ASSERT_NE(buffers.Spec.Block()[0], 0.0f);  // the old rate's sound fills the whole block

    const double e2 = DecimationRateFor(-17);
    fill(buffers, 480, 2.0f);
    buffers.FeedPass(48000, 480, e2);
    EXPECT_EQ(buffers.BlockRate(), e2);
    // 480 samples give about 3.3 values at the Spec rate and 6.6 at SpecHi's: nothing else.
    for (const auto& [decimator, rate] :
         {std::pair{&buffers.Spec, e2}, std::pair{&buffers.SpecHi, 2 * e2}}) {
        const int32_t emitted = decimator->WritePosition();
        EXPECT_GE(emitted, 3);
        EXPECT_LE(emitted, 480 * rate / 48000 + 1);
        for (int32_t i = 0; i < kRingLength - emitted; ++i) {
            ASSERT_EQ(decimator->Block()[i], 0.0f) << i;
        }
        // The first value is half a sample (the group counts from 1), then whole groups of 2.
        for (int32_t i = kRingLength - emitted + 1; i < kRingLength; ++i) {
            expectWeighted(decimator->Block(), i, 2.0L);
        }
    }
}

TEST(SampleBuffersTest, TriggeringSampleOpensTheNextGroup) {
    // Three input samples per output value; the phase is exactly 0 when samples 3 and 6
    // (counted from 0) arrive, and those must not emit.
    SampleBuffers buffers;
    const float input[8] = {1, 2, 4, 8, 16, 32, 64, 128};
    std::copy(input, input + 8, buffers.SampleBuffer());
    buffers.Spec.Feed(3, 8, 1.0);
    ASSERT_EQ(buffers.Spec.WritePosition(), 3);
    EXPECT_EQ(buffers.Spec.Ring()[0], 0.5f);  // half the first sample
    EXPECT_EQ(buffers.Spec.Ring()[1], static_cast<float>(14.0L / 3));
    EXPECT_EQ(buffers.Spec.Ring()[2], static_cast<float>(112.0L / 3));
    EXPECT_EQ(buffers.Spec.Sum(), 128.0f);
    EXPECT_EQ(buffers.Spec.Count(), 1);
    // Until 4096 values have come, the oldest part of the block is zeros.
    EXPECT_EQ(buffers.Spec.Block()[4092], 0.0f);
    expectWeighted(buffers.Spec.Block(), 4093, 0.5L);
    expectWeighted(buffers.Spec.Block(), 4095, 112.0L / 3);
}

TEST(SampleBuffersTest, GroupsAndRatesAt48kHz) {
    SampleBuffers buffers;
    fill(buffers, 1, 1.0f);
    int32_t shortest = 1000, longest = 0;
    for (int32_t k = 0; k < 3000; ++k) {
        const int32_t before = buffers.Spec.Count();
        buffers.Spec.Feed(48000, 1, 1760.0);
        if (k > 100 && buffers.Spec.Count() == 1) {
            shortest = std::min(shortest, before);
            longest = std::max(longest, before);
        }
    }
    EXPECT_EQ(shortest, 27);
    EXPECT_EQ(longest, 28);

    // One second of sound gives DecimationRate values in Spec and twice that in SpecHi.
    SampleBuffers second;
    fill(second, 48000, 0.25f);
    second.Spec.Feed(48000, 48000, 1760.0);
    second.SpecHi.Feed(48000, 48000, 3520.0);
    EXPECT_NEAR(second.Spec.WritePosition(), 1760, 1);
    EXPECT_NEAR(second.SpecHi.WritePosition(), 3520, 1);
    EXPECT_EQ(second.SpecHi.Ring()[1], 0.25f);
}

TEST(SampleBuffersTest, ConstantInputFillsTheRing) {
    SampleBuffers buffers;
    const float c = 0.75f;
    fill(buffers, kSampleBufferLength, c);
    for (int32_t pass = 0; pass < 3; ++pass) {
        buffers.Spec.Feed(44100, kSampleBufferLength, 1046.502261);
    }
    for (int32_t i = 0; i < kRingLength; ++i) {
        ASSERT_EQ(buffers.Spec.Ring()[i], c) << i;
        expectWeighted(buffers.Spec.Block(), i, c);
    }
    EXPECT_NEAR(buffers.Spec.Block()[0] / c, 0.006689, 1e-6);
    EXPECT_NEAR(buffers.Spec.Block()[2047] / c, 0.08163, 1e-5);
    EXPECT_NEAR(buffers.Spec.Block()[4095] / c, 0.997559, 1e-6);
}

TEST(SampleBuffersTest, FastOutputMakesGroupsOfOneAndWraps) {
    // Output at or above the capture rate: from the second sample on every sample emits the
    // previous one; 65535 emissions wrap the ring many times and the block keeps the newest.
    for (double rate : {48000.0, 96000.0}) {
        SampleBuffers buffers;
        for (int32_t k = 0; k < kSampleBufferLength; ++k) {
            buffers.SampleBuffer()[k] = static_cast<float>(k);
        }
        buffers.SpecHi.Feed(48000, kSampleBufferLength, rate);
        EXPECT_EQ(buffers.SpecHi.WritePosition(), 65535 % kRingLength);
        const float* block = buffers.SpecHi.Block();
        for (int32_t i = 0; i < kRingLength; ++i) {
            expectWeighted(block, i, 65534 - 4095 + i);
        }
        EXPECT_EQ(buffers.Spec.WritePosition(), 0);  // the other decimator is untouched
    }
}

TEST(SampleBuffersTest, RateZeroAccumulatesOneGroup) {
    SampleBuffers buffers;
    fill(buffers, 1000, 1.0f);
    buffers.Spec.Feed(48000, 1000, 0.0);
    EXPECT_EQ(buffers.Spec.WritePosition(), 0);
    EXPECT_EQ(buffers.Spec.Count(), 1001);
    EXPECT_EQ(buffers.Spec.Sum(), 1000.0f);
    EXPECT_EQ(buffers.Spec.Ring()[0], 0.0f);
    // Once the rate is set, the first value is the mean of the whole group (counted from 1).
    buffers.Spec.Feed(48000, 2, 1760.0);
    EXPECT_EQ(buffers.Spec.WritePosition(), 1);
    EXPECT_EQ(buffers.Spec.Ring()[0], static_cast<float>(1001.0L / 1002));
}

TEST(SampleBuffersTest, FeedOfNothingAndCountsOutsideTheBuffer) {
    SampleBuffers buffers;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    for (int32_t k = 0; k < kSampleBufferLength; ++k) {
        buffers.SampleBuffer()[k] = noise(random);
    }
    buffers.Spec.Feed(48000, 5000, 48000.0);
    const std::vector<float> ring(buffers.Spec.Ring(), buffers.Spec.Ring() + kRingLength);
    const std::vector<float> block(buffers.Spec.Block(), buffers.Spec.Block() + kRingLength);
    for (int32_t count : {0, -1, std::numeric_limits<int32_t>::min()}) {
        buffers.Spec.Feed(48000, count, 48000.0);
        EXPECT_EQ(std::vector<float>(buffers.Spec.Ring(), buffers.Spec.Ring() + kRingLength), ring);
        EXPECT_EQ(std::vector<float>(buffers.Spec.Block(), buffers.Spec.Block() + kRingLength),
                  block);
    }
    // Counts beyond the buffer take the whole buffer and nothing after it.
    SampleBuffers whole;
    std::copy_n(buffers.SampleBuffer(), kSampleBufferLength, whole.SampleBuffer());
    whole.Spec.Feed(48000, kSampleBufferLength, 1760.0);
    for (int32_t count : {kSampleBufferLength + 1, std::numeric_limits<int32_t>::max()}) {
        SampleBuffers over;
        std::copy_n(buffers.SampleBuffer(), kSampleBufferLength, over.SampleBuffer());
        over.Spec.Feed(48000, count, 1760.0);
        EXPECT_EQ(over.Spec.WritePosition(), whole.Spec.WritePosition());
        EXPECT_EQ(std::vector<float>(over.Spec.Block(), over.Spec.Block() + kRingLength),
                  std::vector<float>(whole.Spec.Block(), whole.Spec.Block() + kRingLength));
    }
}

// The window redraws only when BlockVersion() moves, so a block that changes without it would
// leave stale sound on the display, and one that moves without a change costs a redraw.
TEST(SampleBuffersTest, BlockVersionMovesExactlyWhenTheBlockChanges) {
    SampleBuffers buffers;
    for (int32_t k = 0; k < kSampleBufferLength; ++k) {
        buffers.SampleBuffer()[k] = static_cast<float>(k % 97) + 1.0f;
    }
    Decimator& d = buffers.Spec;
    d.Feed(48000, 100, 1760.0);
    const struct {
        const char* Step;
        int32_t Samples;  // -1: Reset before a feed of nothing
        double Rate;
        bool Changes;
    } steps[] = {
        {"nothing", 0, 1760.0, false},
        {"a sample that only joins the group", 1, 1760.0, false},
        {"samples that emit", 200, 1760.0, true},
        {"a reset", -1, 1760.0, true},
        {"nothing after the reset", 0, 1760.0, false},
        {"the first value after the reset", 2, 48000.0, true},
        // Every sample emits: the write position comes back to where it was, the ring is new.
        {"a whole ring of values", kRingLength, 48000.0, true},
    };
    for (const auto& step : steps) {
        const std::uint64_t version = d.BlockVersion();
        const std::vector<float> block(d.Block(), d.Block() + kRingLength);
        const int32_t position = d.WritePosition();
        if (step.Samples < 0) {
            d.Reset();
        }
        d.Feed(48000, std::max(step.Samples, 0), step.Rate);
        const std::vector<float> now(d.Block(), d.Block() + kRingLength);
        EXPECT_EQ(d.BlockVersion() != version, step.Changes) << step.Step;
        EXPECT_EQ(now != block, step.Changes) << step.Step;
        if (step.Samples == kRingLength) {
            EXPECT_EQ(d.WritePosition(), position) << step.Step;
        }
    }
    EXPECT_TRUE(std::all_of(d.Ring(), d.Ring() + kRingLength, [](float v) { return v != 0.0f; }));
}

TEST(SampleBuffersTest, NarrowedStepsMatchExtendedArithmetic) {
    // 1 + 2^-24 + 2^-60 is exact in 64 bits and lies above the float midpoint 1 + 2^-24, but
    // its double rounding lands on that midpoint, which would then round down to 1.
    const double above = std::ldexp(1.0, -24) + std::ldexp(1.0, -60);
    EXPECT_EQ(AddNarrowed(1.0f, above), 1.0f + std::ldexp(1.0f, -23));
    EXPECT_EQ(AddNarrowed(1.0f, -above), 1.0f - std::ldexp(1.0f, -24));
    // The same among subnormal floats, where the midpoint sits higher in the double.
    const float tiny = std::ldexp(1.0f, -140);
    EXPECT_EQ(AddNarrowed(tiny, std::ldexp(1.0, -150) + std::ldexp(1.0, -200)),
              tiny + std::ldexp(1.0f, -149));

    std::mt19937_64 random(11);
    std::uniform_real_distribution<float> phase(-96000.0f, 96000.0f);
    std::uniform_real_distribution<double> rate(0.0, 100000.0);
    std::uniform_int_distribution<int32_t> count(1, 1 << 30);
    std::uniform_int_distribution<int> scale(-160, 10);
    for (int k = 0; k < 2000000; ++k) {
        const float a = std::ldexp(phase(random), k % 2 == 0 ? 0 : scale(random));
        const double b = rate(random);
        ASSERT_EQ(AddNarrowed(a, b), static_cast<float>(static_cast<long double>(a) + b)) << k;
        const int32_t c = std::max(1, count(random) >> (k % 31));
        ASSERT_EQ(DivideNarrowed(a, c), static_cast<float>(static_cast<long double>(a) / c)) << k;
    }
}

TEST(SampleBuffersTest, MatchesAPlainExtendedDecimator) {
    SampleBuffers buffers;
    std::mt19937 random(3);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    long double phase = 0, sum = 0;
    float ring[kRingLength] = {};
    int32_t count = 1, position = 0;
    // Plain rates, a low note and a rate near the capture rate, each fed in 1 ms passes.
    for (const double rate :
         {DecimationRateFor(3), DecimationRateFor(-37), 2 * DecimationRateFor(51)}) {
        for (int32_t pass = 0; pass < 200; ++pass) {
            const int32_t frames = 44 + pass % 3;
            for (int32_t k = 0; k < frames; ++k) {
                buffers.SampleBuffer()[k] = noise(random);
            }
            buffers.Spec.Feed(44100, frames, rate);
            for (int32_t k = 0; k < frames; ++k) {
                const float s = buffers.SampleBuffer()[k];
                if (static_cast<float>(phase) > 0) {
                    ring[position] = static_cast<float>(sum / count);
                    position = (position + 1) % kRingLength;
                    sum = s;
                    count = 1;
                    phase = static_cast<float>(phase - 44100);
                } else {
                    sum = static_cast<float>(sum + s);
                    ++count;
                }
                phase = static_cast<float>(phase + rate);
            }
        }
    }
    ASSERT_EQ(buffers.Spec.WritePosition(), position);
    for (int32_t i = 0; i < kRingLength; ++i) {
        ASSERT_EQ(buffers.Spec.Ring()[i], ring[i]) << i;
    }
}

}  // namespace
}  // namespace stemora
