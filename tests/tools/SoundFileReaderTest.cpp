// stemora-analyse's sound-file reader with inputs that are no plain sound file: damaged MP3s
// (whose decoder talks on stderr), FIFOs and other special files, and standard input.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>

#include "AnalyseFile.h"
#include "AnalyseTestSupport.h"

namespace stemora {
namespace {

using test::RunAnalyse;

// One line of our own on stderr, and nothing else.
void expectOneErrorLine(const std::string& err, std::string_view part, const std::string& label) {
    EXPECT_EQ(err.rfind("stemora-analyse: ", 0), 0u) << label << ": " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << label << ": " << err;
    EXPECT_TRUE(!err.empty() && err.back() == '\n') << label;
    EXPECT_NE(err.find(part), std::string::npos) << label << ": " << err;
}

std::vector<uint8_t> concat(std::vector<uint8_t> head, const std::vector<uint8_t>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// What libsndfile and its decoders write to fd 2 while sf_open refuses path.
std::string fd2OfPlainOpen(const std::string& path) {
    test::TempFolder scratch;
    const auto log = scratch.File("fd2.txt");
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    {
        const test::FdRedirect redirect(STDERR_FILENO, fd);
        SF_INFO info{};
        EXPECT_EQ(sf_open(path.c_str(), SFM_READ, &info), nullptr);
    }
    close(fd);
    const std::vector<uint8_t> bytes = test::ReadBytes(log);
    return {bytes.begin(), bytes.end()};
}

class AnalyseInputs : public ::testing::Test {
  protected:
    test::TempFolder folder_;
};

TEST_F(AnalyseInputs, DamagedMpegGivesOneTrueLineAndNoDecoderChatter) {
    // An MPEG-1 layer III frame header, or an ID3v2 tag, ahead of bytes no decoder can use:
    // libsndfile takes both for MPEG, and libmpg123 then notes its resync attempts on stderr.
    const std::vector<uint8_t> zeros(2000, 0);
    const std::string frame = folder_.File("frame.mp3");
    test::WriteBytes(frame, concat({0xFF, 0xFB, 0x90, 0x64}, zeros));
    const std::string tagged = folder_.File("tagged.mp3");
    test::WriteBytes(tagged, concat({'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0}, zeros));

    for (const std::string& path : {frame, tagged}) {
        // Without muting the chatter would show: the case is a real one.
        const std::string chatter = fd2OfPlainOpen(path);
        EXPECT_NE(chatter.find("MPEG"), std::string::npos) << chatter;

        const int fdsBefore = test::OpenFdCount();
        const test::CapturedRun run = test::RunAnalyseCapturingFd2({path});
        EXPECT_EQ(test::OpenFdCount(), fdsBefore) << path;
        EXPECT_EQ(run.Run.ExitCode, kAnalyseFileError);
        EXPECT_EQ(run.Fd2, "") << path;
        EXPECT_EQ(run.Run.Out, "");
        expectOneErrorLine(run.Run.Err,
                           "': the file exists, but libsndfile took it for MPEG audio (MP3) and "
                           "could not decode it",
                           path);
        EXPECT_EQ(run.Run.Err.find("does not exist"), std::string::npos) << run.Run.Err;

        // The program itself: exactly that line reaches the terminal.
        const test::RunOutput program = test::RunProgram({path});
        EXPECT_EQ(program.ExitCode, kAnalyseFileError);
        EXPECT_EQ(program.Err, run.Run.Err);
        EXPECT_EQ(program.Out, "");
    }

    // Through standard input the same file is named as such.
    const test::RunOutput piped = test::RunProgram({"-"}, frame);
    EXPECT_EQ(piped.ExitCode, kAnalyseFileError);
    EXPECT_EQ(piped.Err,
              "stemora-analyse: cannot read standard input: libsndfile took the data for MPEG "
              "audio (MP3) and could not decode it\n");

    // Our own lines still reach fd 2 after a muted run.
    const test::RunOutput again = test::RunProgram({"--shift", "99", frame});
    expectOneErrorLine(again.Err, "from -37 to 52", "after a muted run");
}

TEST_F(AnalyseInputs, MpegDamagedAfterGoodFramesFailsWithOneLine) {
    // A real MP3 (libsndfile writes them where it is built with LAME) with garbage in the
    // middle: the decoder gives up mid-file, after talking about it on stderr.
    SF_INFO probe{};
    probe.samplerate = 44100;
    probe.channels = 1;
    probe.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    if (sf_format_check(&probe) == 0) {
        GTEST_SKIP() << "this libsndfile writes no MP3";
    }
    std::vector<float> tone(44100 * 2);
    for (size_t j = 0; j < tone.size(); ++j) {
        tone[j] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 440.0 * j / 44100));
    }
    const std::string good = folder_.File("tone.mp3");
    try {
        test::WriteFloatFile(good, probe.format, 1, 44100, tone);
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    const std::vector<uint8_t> bytes = test::ReadBytes(good);
    std::vector<uint8_t> damaged(bytes.begin(), bytes.begin() + bytes.size() / 2);
    for (int j = 0; j < 20 * 256; ++j) {
        damaged.push_back(static_cast<uint8_t>(j));
    }
    damaged.insert(damaged.end(), bytes.begin() + bytes.size() / 2, bytes.end());
    const std::string path = folder_.File("damaged.mp3");
    test::WriteBytes(path, damaged);

    const int fdsBefore = test::OpenFdCount();
    const test::CapturedRun run = test::RunAnalyseCapturingFd2({path});
    EXPECT_EQ(test::OpenFdCount(), fdsBefore);
    EXPECT_EQ(run.Fd2, "");
    ASSERT_EQ(run.Run.ExitCode, kAnalyseFileError) << run.Run.Err;
    expectOneErrorLine(run.Run.Err, "reading '" + path + "' failed: ", path);
    EXPECT_FALSE(run.Run.Out.empty());  // the ticks before the damage stay printed

    const test::RunOutput program = test::RunProgram({path});
    EXPECT_EQ(program.Err, run.Run.Err);
    EXPECT_EQ(program.Out, run.Run.Out);
}

TEST_F(AnalyseInputs, OnlyRegularFilesAreOpened) {
    // A FIFO without a writer used to block open() for ever.
    const std::string fifo = folder_.File("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string linkToNull = folder_.File("link-to-null");
    ASSERT_EQ(symlink("/dev/null", linkToNull.c_str()), 0);
    struct Case {
        std::string Path;
        std::string Message;
    };
    const std::vector<Case> cases = {
        {fifo, "cannot read '" + fifo +
                   "': it is a named pipe (FIFO); only regular files can be analysed ('-' "
                   "reads standard input)"},
        {folder_.File("").string(), "it is a folder"},
        {"/dev/null", "it is a character device"},
        {linkToNull, "it is a character device"},  // links are followed
        {folder_.File("missing.wav").string(), "No such file or directory"},
    };
    // Should the analyser open the FIFO after all, this writer end lets it go on (and fail the
    // message check) instead of hanging the test.
    std::atomic<bool> done = false;
    std::atomic<bool> readerSeen = false;
    std::thread unblocker([&] {
        while (!done) {
            const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer >= 0) {  // succeeds only while someone has it open for reading
                readerSeen = true;
                close(writer);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    for (const Case& c : cases) {
        const auto run = RunAnalyse({c.Path});
        EXPECT_EQ(run.ExitCode, kAnalyseFileError) << c.Path;
        EXPECT_EQ(run.Out, "");
        expectOneErrorLine(run.Err, c.Message, c.Path);
    }
    done = true;
    unblocker.join();
    EXPECT_FALSE(readerSeen);
}

TEST_F(AnalyseInputs, DashIsStandardInput) {
    const std::string wav = folder_.File("tone.wav");
    std::vector<int32_t> samples;
    for (int32_t j = 0; j < 8000; ++j) {
        samples.push_back(static_cast<int32_t>(
            std::lround(8000 * std::sin(2 * std::numbers::pi * 440.0 * j / 8000))));
    }
    test::WriteIntFile(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, samples);
    const auto direct = RunAnalyse({"--tsv", wav});
    ASSERT_EQ(direct.ExitCode, kAnalyseOk) << direct.Err;

    // A redirected file and a pipe (which cannot seek) both read as the file does.
    const test::CapturedRun redirected = test::RunAnalyseCapturingFd2({"--tsv", "-"}, wav);
    EXPECT_EQ(redirected.Run.ExitCode, kAnalyseOk) << redirected.Run.Err;
    EXPECT_EQ(redirected.Run.Out, direct.Out);
    EXPECT_EQ(redirected.Run.Err + redirected.Fd2, "");

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::vector<uint8_t> bytes = test::ReadBytes(wav);
    ASSERT_LT(bytes.size(), 60000u);  // fits the pipe's buffer, so no writer thread is needed
    ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(ends[1]);
    {
        const test::FdRedirect in(STDIN_FILENO, ends[0]);
        const auto piped = RunAnalyse({"--tsv", "-"});
        EXPECT_EQ(piped.ExitCode, kAnalyseOk) << piped.Err;
        EXPECT_EQ(piped.Out, direct.Out);
    }
    close(ends[0]);

    // A file named "-" is reached as ./-.
    const std::filesystem::path dashFile = folder_.File("-");
    std::filesystem::copy_file(wav, dashFile);
    const std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::current_path(dashFile.parent_path());
    const auto dotDash = RunAnalyse({"--tsv", "./-"});
    std::filesystem::current_path(here);
    EXPECT_EQ(dotDash.ExitCode, kAnalyseOk) << dotDash.Err;
    EXPECT_EQ(dotDash.Out, direct.Out);

    // A terminal on standard input is refused rather than waited on.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
        const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(terminal, 0);
        {
            const test::FdRedirect in(STDIN_FILENO, terminal);
            const auto run = RunAnalyse({"-"});
            EXPECT_EQ(run.ExitCode, kAnalyseFileError);
            expectOneErrorLine(run.Err, "cannot read standard input: it is a terminal", "tty");
        }
        close(terminal);
    }
    if (master >= 0) {
        close(master);
    }

    const auto help = RunAnalyse({"--help"});
    EXPECT_EQ(help.Out, AnalyseHelp());
    EXPECT_NE(help.Out.find("'-' reads standard input"), std::string::npos);
}

TEST_F(AnalyseInputs, RawSamplesReadAsTheSameSamplesWithAHeader) {
    struct Case {
        std::string Format;  // of --raw, after the rate and channels
        int Codec;
        int Endian;
        int32_t Channels;
    };
    const Case cases[] = {
        {"u8", SF_FORMAT_PCM_U8, 0, 1},
        {"s16", SF_FORMAT_PCM_16, SF_ENDIAN_LITTLE, 2},
        {"s16be", SF_FORMAT_PCM_16, SF_ENDIAN_BIG, 1},
        {"s24le", SF_FORMAT_PCM_24, SF_ENDIAN_LITTLE, 1},
        {"s32be", SF_FORMAT_PCM_32, SF_ENDIAN_BIG, 1},
        {"f32", SF_FORMAT_FLOAT, SF_ENDIAN_LITTLE, 2},
        {"f64be", SF_FORMAT_DOUBLE, SF_ENDIAN_BIG, 1},
        {"ulaw", SF_FORMAT_ULAW, 0, 1},
    };
    constexpr int32_t rate = 8000;
    for (const Case& c : cases) {
        std::vector<float> tone;
        for (int32_t j = 0; j < rate * c.Channels; ++j) {
            tone.push_back(static_cast<float>(
                0.4 * std::sin(2 * std::numbers::pi * 440.0 * (j / c.Channels) / rate)));
        }
        const std::string wav = folder_.File(c.Format + ".wav");
        const std::string raw = folder_.File(c.Format + ".raw");
        test::WriteFloatFile(wav, SF_FORMAT_WAV | c.Codec, c.Channels, rate, tone);
        test::WriteFloatFile(raw, SF_FORMAT_RAW | c.Codec | c.Endian, c.Channels, rate, tone);
        const auto withHeader = RunAnalyse({"--tsv", wav});
        ASSERT_EQ(withHeader.ExitCode, kAnalyseOk) << withHeader.Err;
        const std::string option = "--raw=8000:" + std::to_string(c.Channels) + ":" + c.Format;
        const auto file = RunAnalyse({"--tsv", option, raw});
        EXPECT_EQ(file.ExitCode, kAnalyseOk) << c.Format << ": " << file.Err;
        EXPECT_EQ(file.Out, withHeader.Out) << c.Format;

        // Through a pipe, which it fits.
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        const std::vector<uint8_t> bytes = test::ReadBytes(raw);
        ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(ends[1]);
        {
            const test::FdRedirect in(STDIN_FILENO, ends[0]);
            const auto piped = RunAnalyse({"--tsv", option, "-"});
            EXPECT_EQ(piped.ExitCode, kAnalyseOk) << c.Format << ": " << piped.Err;
            EXPECT_EQ(piped.Out, withHeader.Out) << c.Format;
        }
        close(ends[0]);
    }
}

}  // namespace
}  // namespace stemora
