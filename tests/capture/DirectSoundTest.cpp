// Capture formats, the capture stream over the simulated device, and the library loader.

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "CaptureTestSupport.h"
#include "capture/LibraryLoader.h"
#include "capture/SimulatedSound.h"
#include "capture/uDirectSound.h"

namespace stemora {
namespace {

// Opens `stream` in rate/bits/channels (which the device must accept).
void openIn(TSoundCaptureStream& stream, int rate, int bits, int channels) {
    const int index = test::FormatIndexOf(stream.Formats(), rate, bits, channels);
    ASSERT_GE(index, 0);
    stream.SetFormatIndex(index);
    stream.Open();
}

// ---------------------------------------------------------------------------------------------

TEST(WaveFormatTest, RecordLayoutIsThePackedPlatformRecord) {
    EXPECT_EQ(sizeof(WaveFormat), 18u);
    EXPECT_EQ(offsetof(WaveFormat, nChannels), 2u);
    EXPECT_EQ(offsetof(WaveFormat, nSamplesPerSec), 4u);
    EXPECT_EQ(offsetof(WaveFormat, nAvgBytesPerSec), 8u);
    EXPECT_EQ(offsetof(WaveFormat, nBlockAlign), 12u);
    EXPECT_EQ(offsetof(WaveFormat, wBitsPerSample), 14u);
    EXPECT_EQ(offsetof(WaveFormat, cbSize), 16u);
}

TEST(WaveFormatTest, MakePcmFormatWorkedValues) {
    struct Case {
        int Rate, Bits, Channels, BlockAlign, BytesPerSec;
    };
    const Case cases[] = {
        {8000, 8, 1, 1, 8000},     {11025, 8, 2, 2, 22050},   {33075, 24, 1, 3, 99225},
        {33075, 24, 2, 6, 198450}, {44100, 16, 2, 4, 176400}, {96000, 32, 2, 8, 768000},
    };
    for (const Case& c : cases) {
        WaveFormat f;
        std::memset(&f, 0xAB, sizeof f);
        WaveFormat& same = MakePcmFormat(f, c.Rate, static_cast<std::uint16_t>(c.Bits),
                                         static_cast<std::uint16_t>(c.Channels));
        EXPECT_EQ(&same, &f);
        EXPECT_EQ(f.wFormatTag, 1);
        EXPECT_EQ(f.nChannels, c.Channels);
        EXPECT_EQ(f.nSamplesPerSec, static_cast<std::uint32_t>(c.Rate));
        EXPECT_EQ(f.wBitsPerSample, c.Bits);
        EXPECT_EQ(f.nBlockAlign, c.BlockAlign) << c.Rate << "/" << c.Bits << "/" << c.Channels;
        EXPECT_EQ(f.nAvgBytesPerSec, static_cast<std::uint32_t>(c.BytesPerSec));
        EXPECT_EQ(f.cbSize, 0);
    }
}

TEST(FormatListTest, ItemsOutsideTheListRaiseTheListError) {
    TSoundCaptureFormats list;
    EXPECT_EQ(list.Count(), 0);
    try {
        list.Items(0);
        FAIL() << "no error";
    } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (0)");
    }
    TSoundCaptureFormat& first = list.Add();
    first.SamplesPerSec = 48000;
    list.Add().SamplesPerSec = 96000;
    EXPECT_EQ(&list.Items(0), &first);  // appending keeps earlier items in place
    EXPECT_EQ(list.Items(1).SamplesPerSec, 96000);
    for (const int bad : {-1, 2, 1000}) {
        try {
            list.Items(bad);
            FAIL() << bad;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "List index out of bounds (" + std::to_string(bad) + ")");
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Probe

TEST(ProbeTest, DeviceAcceptingEverythingGivesAll64InTableOrder) {
    SimulatedSoundBackend backend;
    TSoundCaptureStream stream(nullptr, backend);
    ASSERT_EQ(stream.Formats().Count(), 64);
    int i = 0;
    for (const int rate : kCandidateRates) {
        for (const int bits : kCandidateBits) {
            for (const int channels : kCandidateChannels) {
                const TSoundCaptureFormat& f = stream.Formats().Items(i++);
                EXPECT_EQ(f.SamplesPerSec, rate);
                EXPECT_EQ(f.BitsPerSample, bits);
                EXPECT_EQ(f.Channels, channels);
            }
        }
    }
    const TSoundCaptureFormat& six = stream.Formats().Items(6);
    EXPECT_EQ(six.SamplesPerSec, 8000);
    EXPECT_EQ(six.BitsPerSample, 32);
    EXPECT_EQ(six.Channels, 1);
    EXPECT_EQ(test::FormatIndexOf(stream.Formats(), 33075, 8, 1), 24);
    EXPECT_EQ(test::FormatIndexOf(stream.Formats(), 88200, 8, 1), 48);
    // Every trial buffer was one second long and gone before the next was made.
    const auto counters = backend.GetCounters();
    EXPECT_EQ(counters.BufferRequests, 64);
    EXPECT_EQ(counters.BuffersLivePeak, 1);
    EXPECT_EQ(counters.BuffersLive, 0);
    EXPECT_EQ(counters.Starts, 0);
    EXPECT_EQ(backend.LastBufferDesc().dwSize, 20u);
    EXPECT_EQ(backend.LastBufferDesc().dwBufferBytes, 768000u);
    EXPECT_EQ(backend.LastBufferDesc().dwFlags, 0u);
}

TEST(ProbeTest, DeviceAcceptingOnly8And16Bits) {
    SimulatedSoundBackend backend;
    backend.AcceptFormats([](const WaveFormat& f) { return f.wBitsPerSample <= 16; });
    TSoundCaptureStream stream(nullptr, backend);
    ASSERT_EQ(stream.Formats().Count(), 32);
    const int expected[][3] = {{8000, 8, 1},  {8000, 8, 2},  {8000, 16, 1},  {8000, 16, 2},
                               {11025, 8, 1}, {11025, 8, 2}, {11025, 16, 1}, {11025, 16, 2},
                               {22050, 8, 1}, {96000, 16, 2}};
    const int at[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 31};
    for (int k = 0; k < 10; ++k) {
        const TSoundCaptureFormat& f = stream.Formats().Items(at[k]);
        EXPECT_EQ(f.SamplesPerSec, expected[k][0]) << at[k];
        EXPECT_EQ(f.BitsPerSample, expected[k][1]) << at[k];
        EXPECT_EQ(f.Channels, expected[k][2]) << at[k];
    }
    EXPECT_EQ(test::FormatIndexOf(stream.Formats(), 88200, 16, 2), 27);
    EXPECT_EQ(test::FormatIndexOf(stream.Formats(), 44100, 24, 1), -1);
}

TEST(ProbeTest, DeviceRefusingEverythingGivesAnEmptyListAndOpenFails) {
    SimulatedSoundBackend backend;
    backend.AcceptFormats([](const WaveFormat&) { return false; });
    TSoundCaptureStream stream(nullptr, backend);
    EXPECT_EQ(stream.Formats().Count(), 0);
    try {
        stream.Open();
        FAIL() << "no error";
    } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (0)");
    }
    EXPECT_FALSE(stream.Active());
    EXPECT_EQ(backend.GetCounters().BuffersLive, 0);
}

TEST(ProbeTest, OnlyResultZeroCountsAsAccepted) {
    SimulatedSoundBackend backend;
    backend.Fail(SimulatedOperation::CreateBuffer, /*code=*/1);  // a positive "success" code
    TSoundCaptureStream stream(nullptr, backend);
    EXPECT_EQ(stream.Formats().Count(), 0);
}

// ---------------------------------------------------------------------------------------------
// Construction and errors

TEST(StreamErrorTest, ConstructionFailures) {
    {
        SimulatedSoundBackend backend;
        backend.Fail(SimulatedOperation::OpenLibrary);
        try {
            TSoundCaptureStream stream(nullptr, backend);
            FAIL() << "no error";
        } catch (const EDirectXError& e) {
            EXPECT_STREQ(e.what(), "Necessary since DirectX5");
        }
    }
    {
        SimulatedSoundBackend backend;
        backend.Fail(SimulatedOperation::CreateDevice);
        try {
            TSoundCaptureStream stream(nullptr, backend);
            FAIL() << "no error";
        } catch (const ESoundCaptureStreamError& e) {
            EXPECT_STREQ(e.what(), "DirectSoundCapture cannot be initialized");
        }
        EXPECT_EQ(backend.GetCounters().DevicesLive, 0);
    }
    {
        // A device given to a stream goes back when the stream does.
        SimulatedSoundBackend backend;
        const DeviceGuid id{{1, 2, 3}};
        { TSoundCaptureStream stream(&id, backend); }
        EXPECT_EQ(backend.GetCounters().DevicesCreated, 1);
        EXPECT_EQ(backend.GetCounters().DevicesLive, 0);
    }
}

TEST(StreamErrorTest, FailedOpenLeavesTheStreamClosedAndUsable) {
    SimulatedSoundBackend backend;
    TSoundCaptureStream stream(nullptr, backend);
    stream.SetFormatIndex(64);
    try {
        stream.Open();
        FAIL() << "no error";
    } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (64)");
    }
    EXPECT_FALSE(stream.Active());

    stream.SetFormatIndex(3);
    backend.Fail(SimulatedOperation::CreateBuffer, kErrFail, 2);
    try {
        stream.Open();
        FAIL() << "no error";
    } catch (const ESoundCaptureStreamError& e) {
        EXPECT_STREQ(e.what(), "Sound Capture Buffer cannot be made");
    }
    EXPECT_FALSE(stream.Active());
    // Read opens a closed stream and passes the same error on.
    std::uint8_t byte = 0;
    EXPECT_THROW(stream.Read(&byte, 1), ESoundCaptureStreamError);
    EXPECT_EQ(stream.Position(), 0);
    EXPECT_EQ(backend.GetCounters().BuffersLive, 0);
    EXPECT_EQ(stream.Available(), 0);

    stream.Open();  // the failures are used up
    EXPECT_TRUE(stream.Active());
    EXPECT_EQ(backend.GetCounters().BuffersLive, 1);
}

// ---------------------------------------------------------------------------------------------
// Opening, buffer size, format record

TEST(StreamOpenTest, BufferSizeIsOneSecondAndTheFormatRecordFollowsTheSelection) {
    struct Case {
        int Rate, Bits, Channels;
        std::uint32_t BufferSize;
    };
    const Case cases[] = {
        {8000, 8, 1, 8000}, {44100, 16, 2, 176400}, {96000, 32, 2, 768000}, {33075, 24, 1, 99225}};
    SimulatedSoundBackend backend;
    TSoundCaptureStream stream(nullptr, backend);
    EXPECT_EQ(stream.GetFormat(), nullptr);
    EXPECT_EQ(stream.GetFormatSize(), 0);
    EXPECT_EQ(stream.BufferLength(), 1000);
    for (const Case& c : cases) {
        openIn(stream, c.Rate, c.Bits, c.Channels);
        EXPECT_EQ(stream.BufferSize(), c.BufferSize);
        EXPECT_EQ(backend.LastBufferDesc().dwBufferBytes, c.BufferSize);
        EXPECT_EQ(backend.LastBufferDesc().dwSize, 20u);
        ASSERT_NE(stream.GetFormat(), nullptr);
        EXPECT_EQ(stream.GetFormatSize(), 18);
        const WaveFormat& f = *stream.GetFormat();
        EXPECT_EQ(f.nSamplesPerSec, static_cast<std::uint32_t>(c.Rate));
        EXPECT_EQ(f.wBitsPerSample, c.Bits);
        EXPECT_EQ(f.nChannels, c.Channels);
        EXPECT_EQ(f.nAvgBytesPerSec, c.BufferSize);
        EXPECT_EQ(backend.LastBufferFormat().nBlockAlign, f.nBlockAlign);
        EXPECT_EQ(stream.Available(), 0);  // nothing before the device moves
    }
    // Each Open closed the buffer before.
    const auto counters = backend.GetCounters();
    EXPECT_EQ(counters.BuffersLive, 1);
    EXPECT_EQ(counters.Starts, 4);
    EXPECT_EQ(counters.Stops, 3);
}

TEST(StreamOpenTest, OpenOnAnActiveStreamStartsOverAndCloseTwiceIsHarmless) {
    SimulatedSoundBackend backend;
    backend.SetSource(SimulatedSource::Bytes(test::Pattern()));
    TSoundCaptureStream stream(nullptr, backend);
    openIn(stream, 48000, 16, 2);
    backend.Advance(100);
    std::vector<std::uint8_t> buffer(200);
    ASSERT_EQ(stream.Read(buffer.data(), 200), 200);
    EXPECT_EQ(stream.ReadPosition(), 200u);
    backend.Advance(10);
    EXPECT_EQ(stream.Available(), 240);

    stream.Open();
    EXPECT_TRUE(stream.Active());
    EXPECT_EQ(stream.ReadPosition(), 0u);
    EXPECT_EQ(stream.Available(), 0);  // a new buffer, recording from its start
    backend.Advance(1);
    ASSERT_EQ(stream.Read(buffer.data(), 4), 4);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(buffer[k], test::PatternAt(k));
    }
    auto counters = backend.GetCounters();
    EXPECT_EQ(counters.BuffersCreated, 64 + 2);
    EXPECT_EQ(counters.BuffersLive, 1);
    EXPECT_EQ(counters.Stops, 1);

    stream.Close();
    stream.Close();
    EXPECT_FALSE(stream.Active());
    EXPECT_EQ(stream.Available(), 0);
    counters = backend.GetCounters();
    EXPECT_EQ(counters.Stops, 2);
    EXPECT_EQ(counters.BuffersLive, 0);
    EXPECT_EQ(stream.Position(), 204);
}

// ---------------------------------------------------------------------------------------------
// Available and Read

TEST(StreamReadTest, AvailableAndReadAcrossTheWrap) {
    SimulatedSoundBackend backend;
    backend.SetSource(SimulatedSource::Bytes(test::Pattern()));
    TSoundCaptureStream stream(nullptr, backend);
    openIn(stream, 44100, 16, 2);
    ASSERT_EQ(stream.BufferSize(), 176400u);

    backend.Advance(44000);  // 176000 bytes
    ASSERT_EQ(stream.Available(), 176000);
    std::vector<std::uint8_t> first(176000);
    ASSERT_EQ(stream.Read(first.data(), 176000), 176000);
    EXPECT_EQ(stream.ReadPosition(), 176000u);
    EXPECT_EQ(first[175999], test::PatternAt(175999));

    backend.Advance(200);  // 800 bytes: the device's cursor wraps to 400
    EXPECT_EQ(stream.Available(), 800);
    std::vector<std::uint8_t> second(800);
    const auto locksBefore = backend.GetCounters().Locks;
    ASSERT_EQ(stream.Read(second.data(), 800), 800);
    EXPECT_EQ(backend.GetCounters().Locks, locksBefore + 1);  // one lock, two pieces
    for (std::uint64_t k = 0; k < 800; ++k) {
        ASSERT_EQ(second[k], test::PatternAt(176000 + k)) << k;
    }
    EXPECT_EQ(stream.ReadPosition(), 400u);
    EXPECT_EQ(stream.Available(), 0);
    EXPECT_EQ(stream.Position(), 176800);
}

TEST(StreamReadTest, AFullBufferSinceTheLastReadCountsAsEmpty) {
    SimulatedSoundBackend backend;
    TSoundCaptureStream stream(nullptr, backend);
    openIn(stream, 8000, 8, 1);
    backend.Advance(7999);
    EXPECT_EQ(stream.Available(), 7999);
    backend.Advance(1);
    EXPECT_EQ(stream.Available(), 0);
    backend.Advance(5);
    EXPECT_EQ(stream.Available(), 5);
}

TEST(StreamReadTest, ReadOfZeroOpensAClosedStreamAndCopiesNothing) {
    SimulatedSoundBackend backend;
    TSoundCaptureStream stream(nullptr, backend);
    std::uint8_t guard = 0x5A;
    EXPECT_EQ(stream.Read(&guard, 0), 0);
    EXPECT_EQ(guard, 0x5A);
    EXPECT_TRUE(stream.Active());
    EXPECT_EQ(backend.GetCounters().Starts, 1);
    EXPECT_EQ(stream.GetFormatSize(), 18);
    // A negative count is no count at all.
    EXPECT_EQ(stream.Read(&guard, -7), 0);
    EXPECT_EQ(guard, 0x5A);
    EXPECT_EQ(stream.Position(), 0);
}

TEST(StreamReadTest, FailedLockPadsWithTheFormatsSilenceAndStillReportsTheCount) {
    struct Case {
        int Bits;
        std::uint8_t Silence;
    };
    for (const Case c : {Case{8, 0x80}, Case{16, 0x00}, Case{24, 0x00}}) {
        SimulatedSoundBackend backend;
        backend.SetSource(SimulatedSource::Bytes(test::Pattern()));
        TSoundCaptureStream stream(nullptr, backend);
        openIn(stream, 48000, c.Bits, 1);
        backend.Advance(100);
        backend.Fail(SimulatedOperation::Lock);
        std::vector<std::uint8_t> buffer(100, 0x55);
        EXPECT_EQ(stream.Read(buffer.data(), 100), 100);
        for (const std::uint8_t b : buffer) {
            ASSERT_EQ(b, c.Silence) << c.Bits;
        }
        EXPECT_EQ(stream.ReadPosition(), 0u);
        EXPECT_EQ(stream.Position(), 100);
        // Once the lock works again the same bytes are still there, in order.
        backend.Recover(SimulatedOperation::Lock);
        const int bytes = c.Bits / 8 * 10;
        ASSERT_EQ(stream.Read(buffer.data(), bytes), bytes);
        for (int k = 0; k < bytes; ++k) {
            ASSERT_EQ(buffer[k], test::PatternAt(k));
        }
    }
}

TEST(StreamReadTest, FailedLockAfterAPieceKeepsTheReadPositionOfThatPiece) {
    SimulatedSoundBackend backend;
    backend.SetSource(SimulatedSource::Bytes(test::Pattern()));
    TSoundCaptureStream stream(nullptr, backend);
    openIn(stream, 8000, 8, 1);
    backend.Advance(50);
    std::vector<std::uint8_t> buffer(50);
    ASSERT_EQ(stream.Read(buffer.data(), 30), 30);
    backend.Fail(SimulatedOperation::Lock, kErrFail, 1);
    ASSERT_EQ(stream.Read(buffer.data(), 20), 20);
    EXPECT_EQ(buffer[0], 0x80);
    EXPECT_EQ(stream.ReadPosition(), 30u);
    ASSERT_EQ(stream.Read(buffer.data(), 20), 20);
    EXPECT_EQ(buffer[0], test::PatternAt(30));
    EXPECT_EQ(buffer[19], test::PatternAt(49));
}

TEST(StreamReadTest, FailedPositionQueryCountsAsNothingArrived) {
    SimulatedSoundBackend backend;
    TSoundCaptureStream stream(nullptr, backend);
    openIn(stream, 8000, 16, 1);
    backend.Advance(100);
    backend.Fail(SimulatedOperation::GetPosition);
    EXPECT_EQ(stream.Available(), 0);
    backend.Recover(SimulatedOperation::GetPosition);
    EXPECT_EQ(stream.Available(), 200);
}

TEST(StreamReadTest, ReadEndsWhenThePositionQueryFailsInsteadOfWaitingForEver) {
    SimulatedSoundBackend backend;
    TSoundCaptureStream stream(nullptr, backend);
    openIn(stream, 8000, 8, 1);
    backend.Advance(10);
    std::array<std::uint8_t, 40> buffer{};
    buffer.fill(0x11);
    // The device stops answering after Available said data had arrived: the read copies what
    // it can (nothing here), pads the rest with silence and still reports the full count.
    backend.Fail(SimulatedOperation::GetPosition);
    EXPECT_EQ(stream.Read(buffer.data(), 40), 40);
    EXPECT_EQ(buffer[0], 0x80);
    EXPECT_EQ(buffer[39], 0x80);
    EXPECT_EQ(stream.ReadPosition(), 0u);
    backend.Recover(SimulatedOperation::GetPosition);
    EXPECT_EQ(stream.Available(), 10);
}

// The device goes (its server killed): the stream reports it and answers nothing, a read is
// cut short, reopening fails while the device is away, and once it is back the stream opens a
// new buffer that starts from its own beginning.
TEST(StreamReadTest, LostDeviceIsReportedAndTheStreamOpensAgainOnceItIsBack) {
    SimulatedSoundBackend backend;
    backend.SetSource(SimulatedSource::Bytes(test::Pattern()));
    TSoundCaptureStream stream(nullptr, backend);
    openIn(stream, 8000, 8, 1);
    backend.Advance(100);
    ASSERT_EQ(stream.Available(), 100);
    EXPECT_FALSE(stream.DeviceLost());

    backend.LoseDevice();
    EXPECT_EQ(stream.Available(), 0);
    EXPECT_TRUE(stream.DeviceLost());
    // Nothing more arrives, and a read ends instead of waiting for it.
    backend.Advance(100);
    std::array<std::uint8_t, 40> buffer{};
    EXPECT_EQ(stream.Read(buffer.data(), 40), 40);
    EXPECT_EQ(buffer[0], 0x80);
    EXPECT_TRUE(stream.DeviceLost());
    stream.Close();
    EXPECT_FALSE(stream.DeviceLost());
    EXPECT_THROW(stream.Open(), ESoundCaptureStreamError);
    EXPECT_FALSE(stream.Active());

    backend.RestoreDevice();
    stream.Open();
    EXPECT_FALSE(stream.DeviceLost());
    EXPECT_EQ(stream.Available(), 0);
    backend.Advance(30);
    ASSERT_EQ(stream.Available(), 30);
    ASSERT_EQ(stream.Read(buffer.data(), 30), 30);
    // The new buffer's own first bytes, not the lost one's.
    EXPECT_EQ(buffer[0], test::PatternAt(0));
    EXPECT_EQ(buffer[29], test::PatternAt(29));
    const SimulatedSoundBackend::Counters counters = backend.GetCounters();
    EXPECT_EQ(counters.BuffersLost, 1);
    EXPECT_EQ(counters.BuffersLive, 1);
}

// ---------------------------------------------------------------------------------------------
// Base classes

class PlainWaveStream : public TCustomWaveStream2 {};

TEST(WaveStreamTest, BaseOperationsAndTheOwnedFormatRecord) {
    PlainWaveStream plain;
    EXPECT_EQ(plain.Available(), -1);
    std::uint8_t bytes[4] = {};
    EXPECT_EQ(plain.Read(bytes, 4), 0);
    EXPECT_EQ(plain.Write(bytes, 4), 0);
    EXPECT_EQ(plain.Position(), 0);
    EXPECT_EQ(plain.GetFormat(), nullptr);

    plain.SetFormatSize(18);
    ASSERT_NE(plain.GetFormat(), nullptr);
    EXPECT_EQ(plain.GetFormatSize(), 18);
    EXPECT_EQ(plain.GetFormat()->nSamplesPerSec, 0u);  // new bytes are zero
    MakePcmFormat(*plain.GetFormat(), 44100, 16, 2);
    plain.SetFormatSize(4);  // keeps the leading bytes
    EXPECT_EQ(plain.GetFormatSize(), 4);
    EXPECT_EQ(plain.GetFormat()->nChannels, 2);
    plain.SetFormatSize(18);
    EXPECT_EQ(plain.GetFormat()->nChannels, 2);
    EXPECT_EQ(plain.GetFormat()->nSamplesPerSec, 0u);
    plain.SetFormatSize(-3);
    EXPECT_EQ(plain.GetFormatSize(), 0);
    EXPECT_EQ(plain.GetFormat(), nullptr);
}

TEST(WaveStreamTest, CaptureStreamWriteTakesNothing) {
    SimulatedSoundBackend backend;
    TSoundCaptureStream stream(nullptr, backend);
    openIn(stream, 8000, 8, 1);
    backend.Advance(10);
    std::uint8_t bytes[10] = {};
    ASSERT_EQ(stream.Read(bytes, 10), 10);
    EXPECT_EQ(stream.Write(bytes, 10), 0);
    EXPECT_EQ(stream.Position(), 10);
    EXPECT_EQ(stream.Available(), 0);
}

// ---------------------------------------------------------------------------------------------
// The simulated device's encoding (other tests rely on it)

TEST(SimulatedSoundTest, FullScaleAndSilenceInEveryWidth) {
    struct Case {
        int Bits;
        std::vector<std::uint8_t> Full, Silence;
    };
    const Case cases[] = {{8, {0xFF}, {0x80}},
                          {16, {0xFF, 0x7F}, {0, 0}},
                          {24, {0xFF, 0xFF, 0x7F}, {0, 0, 0}},
                          {32, {0xFF, 0xFF, 0xFF, 0x7F}, {0, 0, 0, 0}}};
    for (const Case& c : cases) {
        SimulatedSoundBackend backend;
        backend.SetSource(
            SimulatedSource::Samples([](std::uint64_t, std::uint32_t channel, std::uint32_t) {
                return channel ? -2.0 : 1.0;
            }));
        TSoundCaptureStream stream(nullptr, backend);
        openIn(stream, 22050, c.Bits, 2);
        backend.Advance(1);
        backend.SetSource(SimulatedSource::Silence());
        backend.Advance(1);
        const int width = c.Bits / 8;
        std::vector<std::uint8_t> frames(static_cast<std::size_t>(4 * width));
        ASSERT_EQ(stream.Read(frames.data(), 4 * width), 4 * width);
        for (int b = 0; b < width; ++b) {
            EXPECT_EQ(frames[b], c.Full[b]) << c.Bits;
            EXPECT_EQ(frames[2 * width + b], c.Silence[b]) << c.Bits;
        }
        // -2 is clamped to -1: one step above the most negative value.
        EXPECT_EQ(frames[width], 0x01) << c.Bits;
        EXPECT_EQ(frames[2 * width - 1], c.Bits == 8 ? 0x01 : 0x80) << c.Bits;
    }
}

TEST(SimulatedSoundTest, ToneAndRealTimeRate) {
    SimulatedSoundBackend backend;
    backend.SetSource(SimulatedSource::Tone(1000.0, 0.5));
    TSoundCaptureStream stream(nullptr, backend);
    openIn(stream, 8000, 16, 1);
    backend.AdvanceTime(std::chrono::microseconds(1250));  // 10 frames
    EXPECT_EQ(backend.RecordedFrames(), 10u);
    std::int16_t samples[10];
    ASSERT_EQ(stream.Read(samples, 20), 20);
    // 1000 Hz at 8000 Hz: eight samples per cycle, peak 0.5 * 32767 at frame 2.
    EXPECT_EQ(samples[0], 0);
    EXPECT_EQ(samples[2], 16384);
    EXPECT_EQ(samples[6], -16384);
    EXPECT_EQ(samples[1], 11585);
    EXPECT_EQ(samples[8], 0);
}

// ---------------------------------------------------------------------------------------------
// Library loader

// A back end that resolves its entry from a named library, as a real one does.
class LibraryBackend : public ISoundBackend {
  public:
    explicit LibraryBackend(std::string library) : library_(std::move(library)) {}
    HResult DirectSoundCaptureCreate(const DeviceGuid* deviceId, ISoundCapture** device,
                                     void* outer) override {
        using Entry = HResult (*)(const DeviceGuid*, ISoundCapture**, void*);
        auto entry = reinterpret_cast<Entry>(GetLibraryProc(library_, "DirectSoundCaptureCreate"));
        return entry(deviceId, device, outer);
    }

  private:
    std::string library_;
};

TEST(LibraryLoaderTest, MissingLibraryOrEntryMakesTheStreamRaiseDirectXError) {
    for (const std::string& library : {std::string("libstemora-no-such-sound-library.so.9"),
                                       std::string(STEMORA_NOENTRY_LIBRARY)}) {
        LibraryBackend backend(library);
        try {
            TSoundCaptureStream stream(nullptr, backend);
            FAIL() << library;
        } catch (const EDirectXError& e) {
            EXPECT_STREQ(e.what(), "Necessary since DirectX5") << library;
        }
    }
}

TEST(LibraryLoaderTest, GetLibraryProcMessagesAndTheLoadedList) {
    try {
        GetLibraryProc("libstemora-no-such-sound-library.so.9", "Anything");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "libstemora-no-such-sound-library.so.9 not loaded");
    }
    const std::string noEntry = STEMORA_NOENTRY_LIBRARY;
    try {
        GetLibraryProc(noEntry, "DirectSoundCaptureCreate");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), noEntry + " not loaded");  // the library's name, not the entry's
    }
    using Marker = int (*)();
    auto marker = reinterpret_cast<Marker>(GetLibraryProc(noEntry, "StemoraTestLibraryMarker"));
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(marker(), 42);
    EXPECT_THROW(GetLibraryProc("", "x"), Exception);

    // Later look-ups go by the lower-cased name: a spelling no file has still finds the library.
    ASSERT_NE(GetLibraryProc("libm.so.6", "cos"), nullptr);
    EXPECT_EQ(GetLibraryProc("LIBM.so.6", "cos"), GetLibraryProc("libm.so.6", "cos"));
    const std::vector<std::string> names = LoadedLibraryNames();
    int libm = 0;
    for (const std::string& name : names) {
        libm += name == "libm.so.6";
        EXPECT_NE(name, "libstemora-no-such-sound-library.so.9");
    }
    EXPECT_EQ(libm, 1);
}

}  // namespace
}  // namespace stemora
