#include "AnalyseTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

// libsndfile leaks its Vorbis decoder state when it refuses a damaged Ogg file (sf_open returns
// no handle, so there is nothing for the caller to free). Leaks inside libvorbis are therefore
// not ours; LeakSanitizer reads this list at exit. Unused in builds without it.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libvorbis.so\n";
}

namespace stemora::test {

namespace {

struct Closer {
    void operator()(SNDFILE* f) const { sf_close(f); }
};

std::unique_ptr<SNDFILE, Closer> openForWriting(const std::filesystem::path& path, int format,
                                                int32_t channels, int32_t rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    std::unique_ptr<SNDFILE, Closer> file(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file) {
        throw std::runtime_error("cannot write " + path.string() + ": " + sf_strerror(nullptr));
    }
    return file;
}

int bitsOf(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_S8:
            return 8;
        case SF_FORMAT_PCM_16:
            return 16;
        case SF_FORMAT_PCM_24:
            return 24;
        case SF_FORMAT_PCM_32:
            return 32;
        default:
            throw std::invalid_argument("not an integer PCM format");
    }
}

// posix_spawn of the stemora-analyse program with args after its name.
int spawnProgram(pid_t& pid, const std::vector<std::string>& args,
                 const posix_spawn_file_actions_t& actions, const posix_spawnattr_t* attributes) {
    std::vector<std::string> argv = {STEMORA_ANALYSE_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& a : argv) {
        pointers.push_back(a.data());
    }
    pointers.push_back(nullptr);
    return posix_spawn(&pid, argv[0].c_str(), &actions, attributes, pointers.data(), environ);
}

}  // namespace

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TempFolder::TempFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "stemora-analyse-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void WriteIntFile(const std::filesystem::path& path, int format, int32_t channels, int32_t rate,
                  const std::vector<int32_t>& samples) {
    const int bits = bitsOf(format);
    std::vector<int32_t> aligned(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        // libsndfile takes integers left-aligned in 32 bits; 8-bit files are given as bytes.
        const int32_t value = bits == 8 ? samples[i] - 128 : samples[i];
        aligned[i] = static_cast<int32_t>(static_cast<uint32_t>(value) << (32 - bits));
    }
    auto file = openForWriting(path, format, channels, rate);
    const sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    if (sf_writef_int(file.get(), aligned.data(), frames) != frames) {
        throw std::runtime_error("short write to " + path.string());
    }
}

void WriteFloatFile(const std::filesystem::path& path, int format, int32_t channels, int32_t rate,
                    const std::vector<float>& samples) {
    auto file = openForWriting(path, format, channels, rate);
    const sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    if (sf_writef_float(file.get(), samples.data(), frames) != frames) {
        throw std::runtime_error("short write to " + path.string());
    }
}

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

RunOutput RunAnalyse(const std::vector<std::string>& args) {
    const std::vector<std::string_view> views(args.begin(), args.end());
    std::ostringstream out;
    std::ostringstream err;
    const int code = AnalyseMain(views, out, err);
    return {code, out.str(), err.str()};
}

FdRedirect::FdRedirect(int fd, int target) : fd_(fd), saved_(fcntl(fd, F_DUPFD_CLOEXEC, 3)) {
    if (saved_ < 0 || dup2(target, fd) < 0) {
        throw std::runtime_error("cannot redirect fd " + std::to_string(fd));
    }
}

FdRedirect::~FdRedirect() {
    dup2(saved_, fd_);
    close(saved_);
}

CapturedRun RunAnalyseCapturingFd2(const std::vector<std::string>& args,
                                   const std::filesystem::path& stdinPath) {
    TempFolder folder;
    const auto fd2Path = folder.File("fd2.txt");
    CapturedRun captured{};
    {
        const int fd2 = open(fd2Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int in =
            open(stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd2 < 0 || in < 0) {
            throw std::runtime_error("cannot open the files for a captured run");
        }
        std::fflush(stderr);
        {
            const FdRedirect errRedirect(STDERR_FILENO, fd2);
            const FdRedirect inRedirect(STDIN_FILENO, in);
            captured.Run = RunAnalyse(args);
            std::fflush(stderr);
        }
        close(fd2);
        close(in);
    }
    const std::vector<uint8_t> bytes = ReadBytes(fd2Path);
    captured.Fd2.assign(bytes.begin(), bytes.end());
    return captured;
}

RunOutput RunProgram(const std::vector<std::string>& args, const std::filesystem::path& stdinPath) {
    TempFolder folder;
    const auto outPath = folder.File("out.txt");
    const auto errPath = folder.File("err.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(
        &actions, STDIN_FILENO, stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = spawnProgram(pid, args, actions, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " STEMORA_ANALYSE_PROGRAM);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("lost " STEMORA_ANALYSE_PROGRAM);
        }
    }
    const std::vector<uint8_t> out = ReadBytes(outPath);
    const std::vector<uint8_t> err = ReadBytes(errPath);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            std::string(out.begin(), out.end()), std::string(err.begin(), err.end())};
}

LiveProgram::LiveProgram(const std::vector<std::string>& args)
    : folder_(std::make_unique<TempFolder>()) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make pipes");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, folder_->File("err.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // A program that ends early must fail the test, not kill it: this process ignores SIGPIPE,
    // the program gets the default back.
    std::signal(SIGPIPE, SIG_IGN);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const int spawned = spawnProgram(pid_, args, actions, &attributes);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " STEMORA_ANALYSE_PROGRAM);
    }
}

LiveProgram::~LiveProgram() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    CloseInput();
    if (output_ >= 0) {
        close(output_);
    }
}

void LiveProgram::Write(const void* data, size_t bytes) {
    const auto* p = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t n = write(input_, p, bytes);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("cannot write to the program");
        }
        p += n;
        bytes -= static_cast<size_t>(n);
    }
}

void LiveProgram::CloseInput() {
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
}

std::optional<std::string> LiveProgram::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const size_t end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{output_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t n = read(output_, buffer, sizeof buffer);
        if (n <= 0) {
            return std::nullopt;
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

void LiveProgram::Signal(int signal) {
    kill(pid_, signal);
}

bool LiveProgram::AwaitReadingInput(std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        // The system call it is blocked in: number, then arguments; read (0) on fd 0.
        std::ifstream in("/proc/" + std::to_string(pid_) + "/syscall");
        std::string number;
        std::string fd;
        if (in >> number >> fd && number == "0" && fd == "0x0") {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

double LiveProgram::CpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which may hold spaces: state is field 3, utime 14.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) {
            ticks += std::stoll(field);
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

LiveProgram::Ended LiveProgram::Wait() {
    Ended ended{};
    char buffer[4096];
    for (ssize_t n; (n = read(output_, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno != EINTR) {
            break;
        }
        pending_.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    ended.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ended.Rest = std::move(pending_);
    const std::vector<uint8_t> err = ReadBytes(folder_->File("err.txt"));
    ended.Err.assign(err.begin(), err.end());
    return ended;
}

int OpenFdCount() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                          std::filesystem::directory_iterator()));
}

}  // namespace stemora::test
