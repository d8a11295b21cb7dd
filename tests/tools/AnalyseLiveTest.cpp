// stemora-analyse on live streams: the program itself on pipes, fed at the pace of the sound.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <numbers>
#include <thread>

#include "AnalyseFile.h"
#include "AnalyseTestSupport.h"

namespace stemora {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int32_t kRate = 48000;
constexpr size_t kFrameBytes = 4;  // stereo, 16 bits

// A 442 Hz stereo WAV of the given length: its path, and its bytes split at the samples.
struct ToneWav {
    std::string Path;
    std::vector<uint8_t> Header;
    std::vector<uint8_t> Samples;
};

ToneWav makeTone(const test::TempFolder& folder, double seconds) {
    std::vector<int32_t> samples;
    for (int64_t j = 0; j < static_cast<int64_t>(seconds * kRate); ++j) {
        const auto v = static_cast<int32_t>(
            std::lround(8000 * std::sin(2 * std::numbers::pi * 442.0 * j / kRate)));
        samples.push_back(v);
        samples.push_back(v);
    }
    ToneWav wav{folder.File("tone.wav").string(), {}, {}};
    test::WriteIntFile(wav.Path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, kRate, samples);
    const std::vector<uint8_t> bytes = test::ReadBytes(wav.Path);
    const size_t data =
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()).find("data") +
        8;
    wav.Header.assign(bytes.begin(), bytes.begin() + data);
    wav.Samples.assign(bytes.begin() + data, bytes.end());
    return wav;
}

// What a recorder writing to a pipe gives as the data length: 0, or the largest it can.
void setDataLength(std::vector<uint8_t>& header, uint32_t length) {
    for (int i = 0; i < 4; ++i) {
        header[header.size() - 4 + i] = static_cast<uint8_t>(length >> (8 * i));
    }
}

std::vector<std::string> fileLines(const std::string& path) {
    const test::RunOutput run = test::RunAnalyse({"--tsv", path});
    EXPECT_EQ(run.ExitCode, kAnalyseOk) << run.Err;
    return test::SplitLines(run.Out);
}

class AnalyseLive : public ::testing::Test {
  protected:
    test::TempFolder folder_;
};

TEST_F(AnalyseLive, EachLineComesAsSoonAsItsSoundIsWritten) {
    ToneWav wav = makeTone(folder_, 3.0);
    setDataLength(wav.Header, 0x80000000u);  // as arecord writes to a pipe
    const std::vector<std::string> expected = fileLines(wav.Path);
    ASSERT_EQ(expected.size(), 48u);  // the header and 47 ticks

    // The sound in 20 ms pieces, each written when its last frame would have been played.
    constexpr size_t pieceFrames = kRate / 50;
    const size_t pieces = (wav.Samples.size() / kFrameBytes + pieceFrames - 1) / pieceFrames;
    std::vector<Clock::time_point> written(pieces);
    test::LiveProgram program({"--tsv", "-"});
    // The clock starts once the program has read the header and written its own: the time it
    // takes to start is no lag of the lines.
    program.Write(wav.Header.data(), wav.Header.size());
    std::vector<std::string> lines;
    std::vector<Clock::time_point> arrived;
    const std::optional<std::string> header = program.ReadLine(5s);
    ASSERT_TRUE(header);
    lines.push_back(*header);
    arrived.push_back(Clock::now());
    std::thread writer([&] {
        const Clock::time_point start = Clock::now();
        for (size_t k = 0; k < pieces; ++k) {
            std::this_thread::sleep_until(start + (k + 1) * 20ms);
            const size_t begin = k * pieceFrames * kFrameBytes;
            const size_t end = std::min(begin + pieceFrames * kFrameBytes, wav.Samples.size());
            written[k] = Clock::now();
            program.Write(wav.Samples.data() + begin, end - begin);
        }
        program.CloseInput();
    });
    while (const std::optional<std::string> line = program.ReadLine(5s)) {
        arrived.push_back(Clock::now());
        lines.push_back(*line);
    }
    writer.join();
    const test::LiveProgram::Ended ended = program.Wait();
    EXPECT_EQ(ended.ExitCode, kAnalyseOk);
    EXPECT_EQ(ended.Err, "");
    EXPECT_EQ(ended.Rest, "");
    ASSERT_EQ(lines, expected);
    for (size_t tick = 1; tick < lines.size(); ++tick) {
        const int64_t lastFrame = static_cast<int64_t>(63 * tick) * kRate / 1000 - 1;
        const auto lag = arrived[tick] - written[static_cast<size_t>(lastFrame) / pieceFrames];
        EXPECT_LT(lag, 100ms) << lines[tick];
    }
}

TEST_F(AnalyseLive, PausesAndACutMidFrameLoseNothingAndCostNoTime) {
    const ToneWav wav = makeTone(folder_, 2.0);
    const std::vector<std::string> expected = fileLines(wav.Path);
    std::vector<uint8_t> header = wav.Header;
    setDataLength(header, 0);  // no length at all
    const size_t half = wav.Samples.size() / 2;

    test::LiveProgram program({"--tsv", "-"});
    program.Write(header.data(), header.size());
    program.Write(wav.Samples.data(), half);
    std::vector<std::string> lines;
    // The header line and the 15 ticks of the first second.
    while (lines.size() < 16) {
        const std::optional<std::string> line = program.ReadLine(5s);
        ASSERT_TRUE(line) << lines.size() << " lines before the pause";
        lines.push_back(*line);
    }
    // Waiting for the writer costs nothing: no polling.
    const double cpuBefore = program.CpuSeconds();
    std::this_thread::sleep_for(3s);
    EXPECT_LE(program.CpuSeconds() - cpuBefore, 0.1);
    EXPECT_FALSE(program.ReadLine(0ms));

    program.Write(wav.Samples.data() + half, wav.Samples.size() - half);
    program.Write(wav.Samples.data(), kFrameBytes / 2);  // half a frame, then the end
    program.CloseInput();
    const test::LiveProgram::Ended ended = program.Wait();
    EXPECT_EQ(ended.ExitCode, kAnalyseOk);
    EXPECT_EQ(ended.Err, "");
    for (const std::string& line : test::SplitLines(ended.Rest)) {
        lines.push_back(line);
    }
    EXPECT_EQ(lines, expected);
}

TEST_F(AnalyseLive, StopSignalsEndCleanlyAfterTheLastFullLine) {
    ToneWav wav = makeTone(folder_, 1.0);
    setDataLength(wav.Header, 0xFFFFFFFFu);
    const std::vector<std::string> expected = fileLines(wav.Path);
    struct Case {
        int Signal;
        size_t HeaderBytes;  // written before the signal, then as many bytes of sound
        size_t SampleBytes;
        size_t Lines;  // read before the signal, with the header line
    };
    const size_t header = wav.Header.size();
    const size_t sound = wav.Samples.size();
    for (const Case& c : {Case{SIGINT, header, sound, 16}, Case{SIGTERM, header, sound, 16},
                          Case{SIGTERM, header, 0, 1}, Case{SIGINT, 0, 0, 0}}) {
        const std::string label = std::string(strsignal(c.Signal)) + " after " +
                                  std::to_string(c.HeaderBytes + c.SampleBytes) + " bytes";
        test::LiveProgram program({"--tsv", "-"});
        program.Write(wav.Header.data(), c.HeaderBytes);
        program.Write(wav.Samples.data(), c.SampleBytes);
        std::vector<std::string> lines;
        while (lines.size() < c.Lines) {
            const std::optional<std::string> line = program.ReadLine(5s);
            ASSERT_TRUE(line) << label;
            lines.push_back(*line);
        }
        // The writer still holds the pipe open: only the signal can end the run.
        ASSERT_TRUE(program.AwaitReadingInput(5s)) << label;
        program.Signal(c.Signal);
        const test::LiveProgram::Ended ended = program.Wait();
        EXPECT_EQ(ended.ExitCode, kAnalyseOk) << label;
        EXPECT_EQ(ended.Err, "") << label;
        EXPECT_EQ(ended.Rest, "") << label;
        EXPECT_EQ(lines, std::vector<std::string>(expected.begin(), expected.begin() + c.Lines));
    }
}

}  // namespace
}  // namespace stemora
