#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include "capture/PortAudioSound.h"
#include "capture/uDirectSound.h"

namespace stemora {
namespace {

std::vector<std::uint8_t> counting(std::size_t n, std::uint8_t first) {
    std::vector<std::uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

// Copies what Pieces hands out for (offset, bytes).
std::vector<std::uint8_t> readRing(CaptureRing& ring, std::uint32_t offset, std::uint32_t bytes) {
    void* p1 = nullptr;
    void* p2 = nullptr;
    std::uint32_t n1 = 0;
    std::uint32_t n2 = 0;
    EXPECT_EQ(ring.Pieces(offset, bytes, &p1, &n1, &p2, &n2), kOk);
    EXPECT_EQ(n1 + n2, bytes);
    std::vector<std::uint8_t> out(static_cast<const std::uint8_t*>(p1),
                                  static_cast<const std::uint8_t*>(p1) + n1);
    if (p2 != nullptr) {
        out.insert(out.end(), static_cast<const std::uint8_t*>(p2),
                   static_cast<const std::uint8_t*>(p2) + n2);
    }
    return out;
}

TEST(CaptureRing, RecordsAcrossTheEndAndHandsOutTwoPiecesInOrder) {
    CaptureRing ring(10, 0x00);
    ring.Record(counting(7, 1).data(), 7);
    EXPECT_EQ(ring.Cursor(), 7u);
    ring.Record(counting(6, 8).data(), 6);  // bytes 8..13: three at the end, three wrapped
    EXPECT_EQ(ring.Cursor(), 3u);

    void* p1 = nullptr;
    void* p2 = nullptr;
    std::uint32_t n1 = 0;
    std::uint32_t n2 = 0;
    ASSERT_EQ(ring.Pieces(7, 6, &p1, &n1, &p2, &n2), kOk);
    EXPECT_EQ(n1, 3u);
    EXPECT_EQ(n2, 3u);
    EXPECT_EQ(static_cast<std::uint8_t*>(p2) + 7, static_cast<std::uint8_t*>(p1));
    EXPECT_EQ(readRing(ring, 7, 6), counting(6, 8));

    // A range that ends exactly at the end has no second piece.
    ASSERT_EQ(ring.Pieces(5, 5, &p1, &n1, &p2, &n2), kOk);
    EXPECT_EQ(n1, 5u);
    EXPECT_EQ(p2, nullptr);
    EXPECT_EQ(n2, 0u);
}

TEST(CaptureRing, MoreThanABufferAtOnceKeepsTheNewestBytes) {
    CaptureRing ring(8, 0x00);
    ring.Record(counting(3, 100).data(), 3);
    ring.Record(counting(21, 0).data(), 21);  // cursor moves by 21: (3 + 21) mod 8 = 0
    EXPECT_EQ(ring.Cursor(), 0u);
    // The whole buffer, oldest first from the cursor, is the last eight bytes recorded.
    EXPECT_EQ(readRing(ring, 0, 8), counting(8, 13));
}

TEST(CaptureRing, MissingInputRecordsTheSilenceByte) {
    CaptureRing ring(6, 0x80);
    EXPECT_EQ(readRing(ring, 0, 6), std::vector<std::uint8_t>(6, 0x80));  // silent from the start
    ring.Record(counting(6, 1).data(), 6);
    ring.Record(nullptr, 4);
    EXPECT_EQ(ring.Cursor(), 4u);
    EXPECT_EQ(readRing(ring, 0, 6), (std::vector<std::uint8_t>{0x80, 0x80, 0x80, 0x80, 5, 6}));
}

TEST(CaptureRing, RefusesRangesOutsideTheBuffer) {
    CaptureRing ring(10, 0x00);
    void* p1 = nullptr;
    void* p2 = nullptr;
    std::uint32_t n1 = 0;
    std::uint32_t n2 = 0;
    EXPECT_EQ(ring.Pieces(10, 1, &p1, &n1, &p2, &n2), kErrInvalidArg);
    EXPECT_EQ(ring.Pieces(0, 11, &p1, &n1, &p2, &n2), kErrInvalidArg);
    EXPECT_EQ(ring.Pieces(0, 1, nullptr, &n1, &p2, &n2), kErrInvalidArg);
    // Without a place for the second piece a wrapping range cannot be handed out...
    EXPECT_EQ(ring.Pieces(8, 4, &p1, &n1, nullptr, nullptr), kErrInvalidArg);
    // ...but one that fits before the end can.
    EXPECT_EQ(ring.Pieces(2, 8, &p1, &n1, nullptr, nullptr), kOk);
    EXPECT_EQ(n1, 8u);
}

// A producer thread records a counting byte sequence in odd-sized blocks while the consumer
// copies up to the published cursor: every byte must arrive once, in order. ThreadSanitizer
// checks both orderings: the cursor's publication, and Unlocked() before the next overwrite.
TEST(CaptureRing, ConsumerSeesEveryByteInOrderWhileTheProducerRuns) {
    constexpr std::uint32_t kSize = 4096;
    constexpr std::size_t kTotal = 1 << 20;
    CaptureRing ring(kSize, 0x00);
    std::atomic<std::size_t> consumed{0};
    std::thread producer([&] {
        std::vector<std::uint8_t> block(333);
        std::size_t made = 0;
        while (made < kTotal) {
            // Stay less than one buffer ahead of the consumer, as the contract asks (a full
            // buffer would read as empty).
            // (Relaxed: the ordering of reads before overwrites must come from the ring.)
            if (made - consumed.load(std::memory_order_relaxed) + block.size() >= kSize) {
                std::this_thread::yield();
                continue;
            }
            const std::size_t n = std::min(block.size(), kTotal - made);
            for (std::size_t i = 0; i < n; ++i) {
                block[i] = static_cast<std::uint8_t>((made + i) * 7);
            }
            ring.Record(block.data(), n);
            made += n;
        }
    });
    std::uint32_t readPosition = 0;
    std::size_t done = 0;
    std::size_t wrong = 0;
    while (done < kTotal) {
        const std::uint32_t cursor = ring.Cursor();
        const std::uint32_t available = (cursor + kSize - readPosition) % kSize;
        if (available == 0) {
            std::this_thread::yield();
            continue;
        }
        for (std::uint8_t byte : readRing(ring, readPosition, available)) {
            wrong += byte != static_cast<std::uint8_t>(done * 7);
            ++done;
        }
        ring.Unlocked();
        readPosition = cursor;
        consumed.store(done, std::memory_order_relaxed);
    }
    producer.join();
    EXPECT_EQ(wrong, 0u);
}

// Without the library (or with a library that lacks PortAudio's entries) the program still
// runs; opening the stream reports the missing sound library.
TEST(PortAudioBackend, UnusableLibraryRaisesNecessarySinceDirectX5) {
    for (const char* library : {"libstemora-no-such-library.so.2", "libm.so.6"}) {
        SCOPED_TRACE(library);
        PortAudioBackend backend(library);
        ISoundCapture* device = nullptr;
        EXPECT_ANY_THROW(backend.DirectSoundCaptureCreate(nullptr, &device, nullptr));
        EXPECT_EQ(device, nullptr);
        try {
            TSoundCaptureStream stream(nullptr, backend);
            ADD_FAILURE() << "expected EDirectXError";
        } catch (const EDirectXError& error) {
            EXPECT_STREQ(error.what(), "Necessary since DirectX5");
        }
    }
}

}  // namespace
}  // namespace stemora
