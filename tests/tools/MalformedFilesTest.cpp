// Damaged and truncated sound files: every one must give either a clean run or one error line
// and a failing exit, never a crash (this test also runs under ASan and UBSan).

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "AnalyseFile.h"
#include "AnalyseTestSupport.h"

namespace stemora {
namespace {

struct BaseFile {
    std::string Name;
    std::vector<uint8_t> Bytes;
};

// Short valid files in the containers and encodings the analyser meets most.
std::vector<BaseFile> makeBaseFiles(const test::TempFolder& folder) {
    struct Kind {
        const char* Name;
        int Format;
        int32_t Channels;
        int32_t Rate;
    };
    const Kind kinds[] = {
        {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 48000},
        {"u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 8000},
        {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 44100},
        {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 22050},
        {"pcm16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 48000},
        {"pcm24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1, 32000},
        {"pcm16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1, 16000},
        {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 1, 16000},
    };
    std::vector<BaseFile> files;
    for (const Kind& k : kinds) {
        const int64_t frames = k.Rate / 7;  // about 140 ms: two ticks
        std::vector<float> samples;
        for (int64_t j = 0; j < frames * k.Channels; ++j) {
            samples.push_back(static_cast<float>(
                0.5 * std::sin(2 * std::numbers::pi * 440.0 * static_cast<double>(j) / k.Rate)));
        }
        const auto path = folder.File(k.Name);
        test::WriteFloatFile(path, k.Format, k.Channels, k.Rate, samples);
        files.push_back({k.Name, test::ReadBytes(path)});
    }
    return files;
}

void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    if (at + 2 <= b.size()) {
        b[at] = static_cast<uint8_t>(v);
        b[at + 1] = static_cast<uint8_t>(v >> 8);
    }
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

// Runs the analyser on bytes and checks the outcome; returns the exit code.
int checkRun(const test::TempFolder& folder, const std::string& label,
             const std::vector<uint8_t>& bytes, bool tsv) {
    const auto path = folder.File("damaged.bin");
    test::WriteBytes(path, bytes);
    std::vector<std::string> args;
    if (tsv) {
        args.push_back("--tsv");
    }
    args.push_back(path.string());
    const test::RunOutput run = test::RunAnalyse(args);
    EXPECT_TRUE(run.ExitCode == kAnalyseOk || run.ExitCode == kAnalyseFileError)
        << label << " exit " << run.ExitCode;
    if (run.ExitCode == kAnalyseOk) {
        // Damaged float data may hold samples that are analysed as 0: one warning line.
        EXPECT_TRUE(run.Err.empty() || (run.Err.rfind("stemora-analyse: warning: ", 0) == 0 &&
                                        std::count(run.Err.begin(), run.Err.end(), '\n') == 1))
            << label << ": " << run.Err;
    } else {
        EXPECT_EQ(run.Err.rfind("stemora-analyse: ", 0), 0u) << label << ": " << run.Err;
        EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << label << ": " << run.Err;
    }
    // Whatever was printed is whole lines.
    EXPECT_TRUE(run.Out.empty() || run.Out.back() == '\n') << label;
    return run.ExitCode;
}

TEST(MalformedFiles, TruncatedAndDamagedFilesNeverCrash) {
    test::TempFolder folder;
    const std::vector<BaseFile> bases = makeBaseFiles(folder);
    std::mt19937 random(20261208);
    int runs = 0;
    int failures = 0;
    auto check = [&](const std::string& label, const std::vector<uint8_t>& bytes) {
        failures += checkRun(folder, label, bytes, runs % 2 == 1) != kAnalyseOk;
        ++runs;
    };

    for (const BaseFile& base : bases) {
        ASSERT_GT(base.Bytes.size(), 200u) << base.Name;
        // The intact file runs cleanly.
        EXPECT_EQ(checkRun(folder, base.Name, base.Bytes, true), kAnalyseOk) << base.Name;

        // Cut inside the header, at its end, and inside the sound data.
        const size_t size = base.Bytes.size();
        std::vector<size_t> cuts = {0,  1,  2,  3,  4,  7,  8,  11, 12, 15, 16, 20, 22,  24,  28,
                                    32, 34, 36, 38, 40, 42, 44, 45, 46, 48, 54, 64, 100, 128, 200};
        for (size_t part = 1; part < 8; ++part) {
            cuts.push_back(size * part / 8);
        }
        cuts.push_back(size - 1);
        for (size_t cut : cuts) {
            if (cut < size) {
                check(base.Name + " cut at " + std::to_string(cut),
                      std::vector<uint8_t>(base.Bytes.begin(), base.Bytes.begin() + cut));
            }
        }

        // Random bytes overwritten, mostly in the header where the damage matters most.
        for (int variant = 0; variant < 24; ++variant) {
            std::vector<uint8_t> bytes = base.Bytes;
            const size_t span = variant < 16 ? std::min<size_t>(size, 128) : size;
            const int count = 1 + variant % 6;
            for (int n = 0; n < count; ++n) {
                bytes[random() % span] = static_cast<uint8_t>(random());
            }
            if (variant % 3 == 0) {
                bytes.resize(bytes.size() * 3 / 4);
            }
            check(base.Name + " damaged #" + std::to_string(variant), bytes);
        }
    }

    // Chosen WAV header fields with values at and beyond their limits.
    const std::vector<uint8_t>& wav = bases[0].Bytes;
    struct Field {
        size_t Offset;
        int Width;
        std::vector<uint32_t> Values;
    };
    const Field fields[] = {
        {4, 4, {0, 4, 36, 0x7FFFFFFF, 0xFFFFFFFF}},                            // RIFF size
        {16, 4, {0, 14, 15, 18, 40, 0x7FFFFFFF, 0xFFFFFFFF}},                  // fmt size
        {20, 2, {0, 2, 3, 6, 7, 0x11, 0xFFFE, 0xFFFF}},                        // format tag
        {22, 2, {0, 1, 3, 8, 0xFFFF}},                                         // channels
        {24, 4, {0, 1, 999, 1000, 8000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF}},  // sample rate
        {28, 4, {0, 1, 0xFFFFFFFF}},                                           // bytes per second
        {32, 2, {0, 1, 3, 6, 0xFFFF}},                                         // block align
        {34, 2, {0, 1, 7, 8, 9, 12, 24, 32, 33, 64, 0xFFFF}},                  // bits per sample
        {40, 4, {0, 1, 3, 0x7FFFFFFF, 0xFFFFFFFF}},                            // data size
    };
    for (const Field& f : fields) {
        for (uint32_t value : f.Values) {
            std::vector<uint8_t> bytes = wav;
            if (f.Width == 2) {
                put16(bytes, f.Offset, value);
            } else {
                put32(bytes, f.Offset, value);
            }
            check("wav field at " + std::to_string(f.Offset) + " = " + std::to_string(value),
                  bytes);
        }
    }

    // Well over a few hundred files, and both outcomes seen.
    EXPECT_GE(runs, 450);
    EXPECT_GT(failures, 50);
    EXPECT_LT(failures, runs);
}

}  // namespace
}  // namespace stemora
