#pragma once

// Sound files for the analyser tests, generated with libsndfile in a private temporary folder.

#include <sndfile.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AnalyseFile.h"

namespace stemora::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::filesystem::path File(std::string_view name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Writes frames x channels integer samples given at the file's own scale (8-bit files: the
// unsigned byte 0..255). format: SF_FORMAT_* container | integer PCM subformat.
void WriteIntFile(const std::filesystem::path& path, int format, int32_t channels, int32_t rate,
                  const std::vector<int32_t>& samples);
// Writes float samples (nominal range -1..1) in a float or compressed subformat.
void WriteFloatFile(const std::filesystem::path& path, int format, int32_t channels, int32_t rate,
                    const std::vector<float>& samples);

// The lines of a text, without their newlines.
std::vector<std::string> SplitLines(const std::string& text);

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

struct RunOutput {
    int ExitCode;
    std::string Out;
    std::string Err;
};
RunOutput RunAnalyse(const std::vector<std::string>& args);

// RunAnalyse, with whatever reaches the process's fd 2 meanwhile (libraries writing to stderr
// behind our back) in Fd2; stdinPath, when given, is fd 0 for the run.
struct CapturedRun {
    RunOutput Run;
    std::string Fd2;
};
CapturedRun RunAnalyseCapturingFd2(const std::vector<std::string>& args,
                                   const std::filesystem::path& stdinPath = {});

// Runs the stemora-analyse program itself, stdin from stdinPath (or /dev/null), and waits.
RunOutput RunProgram(const std::vector<std::string>& args,
                     const std::filesystem::path& stdinPath = {});

// The stemora-analyse program running on pipes: its standard input is written here, its
// standard output read here line by line; its stderr is kept for the end.
class LiveProgram {
  public:
    explicit LiveProgram(const std::vector<std::string>& args);
    ~LiveProgram();  // kills the program if it still runs
    LiveProgram(const LiveProgram&) = delete;
    LiveProgram& operator=(const LiveProgram&) = delete;

    void Write(const void* data, size_t bytes);
    void CloseInput();
    // The next whole line (without its newline), or nothing when none comes within timeout or
    // the output has ended.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    void Signal(int signal);
    // Waits up to timeout for the program to block reading its standard input; false if it
    // does not.
    bool AwaitReadingInput(std::chrono::milliseconds timeout) const;
    // CPU time the program has used so far, in seconds (10 ms steps).
    double CpuSeconds() const;

    struct Ended {
        int ExitCode;
        std::string Rest;  // output after the lines read, up to its end
        std::string Err;
    };
    // Reads the output to its end and waits for the program. The input stays open unless
    // closed before, so only a signal or the program itself can end the run.
    Ended Wait();

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string pending_;
    std::unique_ptr<TempFolder> folder_;
};

// Points fd at target (another open fd) until destroyed, then restores it.
class FdRedirect {
  public:
    FdRedirect(int fd, int target);
    ~FdRedirect();
    FdRedirect(const FdRedirect&) = delete;
    FdRedirect& operator=(const FdRedirect&) = delete;

  private:
    int fd_;
    int saved_;
};

// Open file descriptors of this process.
int OpenFdCount();

}  // namespace stemora::test
