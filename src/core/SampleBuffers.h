#pragma once

// The captured sample buffer and the two averaging decimators that bring it down to the
// rates tied to the centre note (Spec: DecimationRate, SpecHi: twice that).
//
// Threads: the capture thread alone writes SampleBuffer(), calls Feed() and
// ResetDecimators(), and owns phases, sums, counts, positions and rings. The window thread
// only reads the blocks. Both hold CaptureLock while they touch a block; nothing here locks.

#include <cstdint>
#include <memory>

namespace stemora {

// Floats in the shared sample buffer: the most one feed can take.
inline constexpr int32_t kSampleBufferLength = 65536;
// Slots in each ring and floats in each block.
inline constexpr int32_t kRingLength = 4096;

// One decimator: emits the plain mean of each group of input samples into a 4096-slot ring
// at outputRate values per second, then copies the ring oldest-first into its block under
// the weight exp((i - 4097) / 818.2) for block index i.
class Decimator {
  public:
    // samples: kSampleBufferLength floats that outlive this object (the owner's buffer).
    // Storage is allocated here, once; state starts as after Reset(), block all zeros.
    explicit Decimator(const float* samples);
    Decimator(const Decimator&) = delete;
    Decimator& operator=(const Decimator&) = delete;

    // Runs the first sampleCount entries of the owner's SampleBuffer through the decimator,
    // then rebuilds Block() from the ring when the ring has changed since the last rebuild (a
    // value emitted, or a Reset); otherwise Block() already holds what a rebuild would give.
    // captureRate is in Hz, outputRate in values per second. sampleCount is clamped to
    // 0..SampleBufferLength, so a bad count never reads outside the buffer. Capture thread
    // only; callers hold CaptureLock (guards Block()). No allocation.
    void Feed(int32_t captureRate, int32_t sampleCount, double outputRate) noexcept;

    // Rings to zero, phase and sum 0, count 1, write position 0. The block and the read
    // position keep their values until the next Feed rebuilds them. Capture thread only.
    void Reset() noexcept;

    // SpecBlock / SpecHiBlock: kRingLength floats, index 0 oldest, index 4095 newest.
    const float* Block() const noexcept { return block_.get(); }
    // Counts the rebuilds of Block(): equal counts, equal blocks. Read under CaptureLock, so a
    // reader can tell whether there is anything new to look at.
    uint64_t BlockVersion() const noexcept { return blockVersion_; }
    // SpecRing / SpecHiRing: kRingLength emitted means, circular; WritePosition() is the next
    // slot to write and therefore the oldest value.
    const float* Ring() const noexcept { return ring_.get(); }
    int32_t WritePosition() const noexcept { return writePosition_; }

    // The group being gathered: rate accumulator, sum and number of samples (at least 1).
    float Phase() const noexcept { return phase_; }
    float Sum() const noexcept { return sum_; }
    int32_t Count() const noexcept { return count_; }

  private:
    void rebuildBlock() noexcept;

    const float* samples_;
    std::unique_ptr<float[]> ring_;
    std::unique_ptr<float[]> block_;
    float phase_ = 0.0f;
    float sum_ = 0.0f;
    int32_t count_ = 1;
    int32_t writePosition_ = 0;
    int32_t readPosition_ = 0;
    bool ringChanged_ = true;  // since the last rebuild
    uint64_t blockVersion_ = 0;
};

// The one shared object of the signal path: SampleBuffer and both decimators, allocated
// once for the whole run. Not copyable or movable (the decimators point into it).
class SampleBuffers {
  private:
    // Declared first: the decimators are built with a pointer into it.
    std::unique_ptr<float[]> sampleBuffer_;

  public:
    SampleBuffers();
    SampleBuffers(const SampleBuffers&) = delete;
    SampleBuffers& operator=(const SampleBuffers&) = delete;

    // kSampleBufferLength floats, one mono sample per captured frame; the capture thread
    // writes the first n entries before each pair of feeds. Zero at construction.
    float* SampleBuffer() noexcept { return sampleBuffer_.get(); }
    const float* SampleBuffer() const noexcept { return sampleBuffer_.get(); }

    Decimator Spec;    // output rate DecimationRate
    Decimator SpecHi;  // output rate 2 * DecimationRate

    // Resets both decimators (see Decimator::Reset). Called once when capture starts.
    void ResetDecimators() noexcept;

    // One capture pass: feeds the first sampleCount entries of SampleBuffer() to Spec at
    // decimationRate and to SpecHi at twice that, the one rate for both. When decimationRate
    // differs from the rate of the previous pass, both decimators are reset first: the rings
    // never hold values emitted at two rates, so a new centre note never reads the old note's
    // sound as a tone at its own centre. Capture thread only; callers hold CaptureLock.
    void FeedPass(int32_t captureRate, int32_t sampleCount, double decimationRate) noexcept;

    // The rate of the last FeedPass, which built the blocks (0 before the first). Read it with
    // the blocks, under CaptureLock: blocks built at another rate than the display's are not
    // the display's sound.
    double BlockRate() const noexcept { return blockRate_; }

  private:
    double blockRate_ = 0.0;
};

}  // namespace stemora
