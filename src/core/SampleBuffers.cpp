#include "core/SampleBuffers.h"

#include "core/ExtendedRounding.h"
#include "core/VectorClones.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace stemora {

namespace {

constexpr int32_t kRingMask = kRingLength - 1;
static_assert((kRingLength & kRingMask) == 0, "ring wrap uses a mask");

// Block weights exp((i - 4097) / 818.2): the newest value weighs exp(-2 / 818.2), the oldest
// exp(-4097 / 818.2). Evaluated once in extended precision and kept as doubles, so that the
// product with a float sample, rounded to float, differs from the fully extended one in the
// last bit at most.
struct BlockWeights {
    std::array<double, kRingLength> Values;
    BlockWeights() noexcept {
        for (int32_t i = 0; i < kRingLength; ++i) {
            Values[static_cast<size_t>(i)] =
                static_cast<double>(std::exp((static_cast<long double>(i) - 4097.0L) / 818.2L));
        }
    }
};

const BlockWeights& blockWeights() noexcept {
    static const BlockWeights weights;
    return weights;
}

// The weighted copy dominates a capture pass (8192 products), so it gets vector clones.
// out[k] = weights[k] * in[k]; contiguous so that the compiler vectorises it.
STEMORA_VECTOR_CLONES void weightedCopy(float* __restrict out, const double* __restrict weights,
                                        const float* __restrict in, int32_t n) noexcept {
    for (int32_t k = 0; k < n; ++k) {
        out[k] = static_cast<float>(weights[k] * static_cast<double>(in[k]));
    }
}

}  // namespace

Decimator::Decimator(const float* samples)
    : samples_(samples),
      ring_(std::make_unique<float[]>(kRingLength)),
      block_(std::make_unique<float[]>(kRingLength)) {
    blockWeights();  // build the table now, not on the capture thread's first pass
}

void Decimator::Reset() noexcept {
    std::fill_n(ring_.get(), kRingLength, 0.0f);
    phase_ = 0.0f;
    sum_ = 0.0f;
    count_ = 1;
    writePosition_ = 0;
    ringChanged_ = true;
}

void Decimator::Feed(int32_t captureRate, int32_t sampleCount, double outputRate) noexcept {
    const int32_t n = std::clamp(sampleCount, 0, kSampleBufferLength);
    const float* samples = samples_;
    float* ring = ring_.get();
    const double loss = -static_cast<double>(captureRate);

    float phase = phase_;
    float sum = sum_;
    int32_t count = count_;
    int32_t writePosition = writePosition_;
    for (int32_t k = 0; k < n; ++k) {
        const float s = samples[k];
        if (phase > 0.0f) {
            ring[writePosition] = DivideNarrowed(sum, count);
            writePosition = (writePosition + 1) & kRingMask;
            // The triggering sample opens the next group; it is not part of the emitted mean.
            sum = s;
            count = 1;
            phase = AddNarrowed(phase, loss);
        } else {
            // A float sum rounded once to float equals the extended sum narrowed to float.
            sum += s;
            // Saturate: at an output rate of 0 the group grows for as long as capture runs.
            if (count < std::numeric_limits<int32_t>::max()) {
                ++count;
            }
        }
        phase = AddNarrowed(phase, outputRate);
    }
    phase_ = phase;
    sum_ = sum;
    count_ = count;
    // Every emission moves the write position by one, and fewer than kRingLength of them in one
    // feed cannot bring it back to where it was.
    if (writePosition != writePosition_ || n >= kRingLength) {
        ringChanged_ = true;
    }
    writePosition_ = writePosition;

    // Most passes bring no new value (the device delivers a period at a time): the weighted
    // copy would only write the same block again.
    if (ringChanged_) {
        rebuildBlock();
    }
}

void Decimator::rebuildBlock() noexcept {
    // Oldest first: ring[writePosition .. 4095] then ring[0 .. writePosition - 1].
    readPosition_ = writePosition_;
    const double* weights = blockWeights().Values.data();
    const int32_t head = kRingLength - readPosition_;
    weightedCopy(block_.get(), weights, ring_.get() + readPosition_, head);
    weightedCopy(block_.get() + head, weights + head, ring_.get(), readPosition_);
    // The cursor has gone round once and stands where it started.
    ringChanged_ = false;
    ++blockVersion_;
}

SampleBuffers::SampleBuffers()
    : sampleBuffer_(std::make_unique<float[]>(kSampleBufferLength)),
      Spec(sampleBuffer_.get()),
      SpecHi(sampleBuffer_.get()) {}

void SampleBuffers::ResetDecimators() noexcept {
    Spec.Reset();
    SpecHi.Reset();
}

void SampleBuffers::FeedPass(int32_t captureRate, int32_t sampleCount,
                             double decimationRate) noexcept {
    if (decimationRate != blockRate_) {
        ResetDecimators();
        blockRate_ = decimationRate;
    }
    Spec.Feed(captureRate, sampleCount, decimationRate);
    SpecHi.Feed(captureRate, sampleCount, 2.0 * decimationRate);
}

}  // namespace stemora
