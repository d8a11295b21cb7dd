#include "AnalyseFile.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <system_error>
#include <vector>

#include "core/SampleBuffers.h"
#include "core/SpectrumAnalysis.h"
#include "core/TuningState.h"
#include "StemoraVersion.h"

namespace stemora {

namespace {

constexpr std::string_view ProgramPrefix = "stemora-analyse: ";
constexpr int32_t TickMilliseconds = 63;

bool ParseInt(std::string_view text, int32_t& value) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// How the file's samples become capture-scale values.
enum class SampleKind {
    UnsignedByte,  // 8-bit: the byte minus 127.5
    Integer,       // signed integer at its own scale
    Float,         // everything else, at the 16-bit scale
};

struct SampleLayout {
    SampleKind Kind;
    int32_t Bits;  // Integer and UnsignedByte: bits of one sample
};

SampleLayout LayoutFor(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_DPCM_8:
            return {SampleKind::UnsignedByte, 8};
        case SF_FORMAT_DWVW_12:
            return {SampleKind::Integer, 12};
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_DWVW_16:
        case SF_FORMAT_DPCM_16:
        case SF_FORMAT_ALAC_16:
            return {SampleKind::Integer, 16};
        case SF_FORMAT_ALAC_20:
            return {SampleKind::Integer, 20};
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_DWVW_24:
        case SF_FORMAT_ALAC_24:
            return {SampleKind::Integer, 24};
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_ALAC_32:
            return {SampleKind::Integer, 32};
        default:
            return {SampleKind::Float, 0};
    }
}

// Channel values as the capture thread forms them. sf_readf_int delivers integers
// left-aligned in 32 bits, so a right shift by 32 - bits restores the sample's own scale.
// Stereo: channel 0 is stored as float32, channel 1 is added and the sum stored as float32
// (summed in double, which holds every such sum exactly, then rounded once).
void ConvertUnsignedBytes(const int32_t* in, float* out, int32_t frames,
                          int32_t channels) noexcept {
    // (byte - 128) << 24 comes in; byte - 127.5 = (value >> 24) + 0.5, exact in float.
    if (channels == 1) {
        for (int32_t j = 0; j < frames; ++j) {
            out[j] = static_cast<float>(in[j] >> 24) + 0.5f;
        }
    } else {
        for (int32_t j = 0; j < frames; ++j) {
            const float left = static_cast<float>(in[2 * j] >> 24) + 0.5f;
            out[j] = left + (static_cast<float>(in[2 * j + 1] >> 24) + 0.5f);
        }
    }
}

void ConvertIntegers(const int32_t* in, float* out, int32_t frames, int32_t channels,
                     int32_t shift) noexcept {
    if (channels == 1) {
        for (int32_t j = 0; j < frames; ++j) {
            out[j] = static_cast<float>(in[j] >> shift);
        }
    } else {
        for (int32_t j = 0; j < frames; ++j) {
            const float left = static_cast<float>(in[2 * j] >> shift);
            out[j] = static_cast<float>(static_cast<double>(left) +
                                        static_cast<double>(in[2 * j + 1] >> shift));
        }
    }
}

// Float samples the analysis cannot take, counted as they are replaced by 0.
struct SampleDefects {
    int64_t NotNumbers = 0;  // NaN or infinity
    int64_t FirstNotNumberFrame = -1;
    int64_t TooLarge = 0;  // beyond MaxFloatSample
    int64_t FirstTooLargeFrame = -1;

    void Note(float value, int64_t frame) noexcept {
        if (std::isfinite(value)) {
            FirstTooLargeFrame = TooLarge++ == 0 ? frame : FirstTooLargeFrame;
        } else {
            FirstNotNumberFrame = NotNumbers++ == 0 ? frame : FirstNotNumberFrame;
        }
    }
};

// The file's float as analysed: itself, or 0 (noted) when it is no number or too large.
inline float CheckedFloat(float value, int64_t frame, SampleDefects& defects) noexcept {
    // NaN fails this comparison too.
    if (std::fabs(value) <= MaxFloatSample) [[likely]] {
        return value;
    }
    defects.Note(value, frame);
    return 0.0f;
}

void ConvertFloats(const float* in, float* out, int32_t frames, int32_t channels,
                   int64_t firstFrame, SampleDefects& defects) noexcept {
    if (channels == 1) {
        for (int32_t j = 0; j < frames; ++j) {
            out[j] = CheckedFloat(in[j], firstFrame + j, defects) * 32768.0f;
        }
    } else {
        for (int32_t j = 0; j < frames; ++j) {
            const float left = CheckedFloat(in[2 * j], firstFrame + j, defects) * 32768.0f;
            out[j] = left + CheckedFloat(in[2 * j + 1], firstFrame + j, defects) * 32768.0f;
        }
    }
}

// libsndfile and the decoders under it (libmpg123 above all: "Note: Illegal Audio-MPEG-Header
// ...") write to stderr with no switch to stop them. While a Muted lives, fd 2 points at
// /dev/null; our own lines are written only outside one. Without /dev/null or a spare fd,
// nothing is muted: stray notes beat lost messages.
class ThirdPartyStderr {
  public:
    ThirdPartyStderr() noexcept : null_(open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
    ~ThirdPartyStderr() {
        if (null_ >= 0) {
            close(null_);
        }
    }
    ThirdPartyStderr(const ThirdPartyStderr&) = delete;
    ThirdPartyStderr& operator=(const ThirdPartyStderr&) = delete;

    class Muted {
      public:
        explicit Muted(const ThirdPartyStderr* stderrSink) noexcept {
            if (stderrSink == nullptr || stderrSink->null_ < 0) {
                return;
            }
            std::fflush(stderr);
            saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
            if (saved_ >= 0 && dup2(stderrSink->null_, STDERR_FILENO) < 0) {
                close(saved_);
                saved_ = -1;
            }
        }
        ~Muted() {
            if (saved_ >= 0) {
                std::fflush(stderr);
                dup2(saved_, STDERR_FILENO);
                close(saved_);
            }
        }
        Muted(const Muted&) = delete;
        Muted& operator=(const Muted&) = delete;

      private:
        int saved_ = -1;
    };

  private:
    int null_;
};

struct SndfileCloser {
    const ThirdPartyStderr* StderrSink = nullptr;
    void operator()(SNDFILE* file) const noexcept {
        const ThirdPartyStderr::Muted muted(StderrSink);
        sf_close(file);
    }
};
using SndfileHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

// Reads the file in large chunks (one small read per 1 ms pass would cost a system call
// each) and hands out converted mono samples; the format is chosen once, at open.
class FrameReader {
  public:
    static constexpr int32_t ChunkFrames = 8192;

    FrameReader(SNDFILE* file, int32_t channels, SampleLayout layout,
                const ThirdPartyStderr& stderrSink)
        : file_(file), channels_(channels), layout_(layout), stderrSink_(stderrSink) {
        if (layout_.Kind == SampleKind::Float) {
            floats_.resize(static_cast<size_t>(ChunkFrames) * channels_);
        } else {
            ints_.resize(static_cast<size_t>(ChunkFrames) * channels_);
        }
    }

    // Converts up to frames frames into out; returns the count delivered, fewer only at the
    // end of the data (or on a read error, which sf_error then reports).
    int32_t Read(float* out, int32_t frames) noexcept {
        int32_t delivered = 0;
        while (delivered < frames) {
            if (position_ == available_ && !refill()) {
                break;
            }
            const int32_t n = std::min(frames - delivered, available_ - position_);
            convert(out + delivered, n);
            delivered += n;
            position_ += n;
        }
        return delivered;
    }

    const SampleDefects& Defects() const noexcept { return defects_; }

  private:
    bool refill() noexcept {
        chunkFirstFrame_ += available_;
        position_ = 0;
        const ThirdPartyStderr::Muted muted(&stderrSink_);
        available_ = layout_.Kind == SampleKind::Float
                         ? static_cast<int32_t>(sf_readf_float(file_, floats_.data(), ChunkFrames))
                         : static_cast<int32_t>(sf_readf_int(file_, ints_.data(), ChunkFrames));
        available_ = std::clamp(available_, 0, ChunkFrames);
        return available_ > 0;
    }

    void convert(float* out, int32_t frames) noexcept {
        const size_t offset = static_cast<size_t>(position_) * channels_;
        switch (layout_.Kind) {
            case SampleKind::Float:
                ConvertFloats(floats_.data() + offset, out, frames, channels_,
                              chunkFirstFrame_ + position_, defects_);
                break;
            case SampleKind::UnsignedByte:
                ConvertUnsignedBytes(ints_.data() + offset, out, frames, channels_);
                break;
            case SampleKind::Integer:
                ConvertIntegers(ints_.data() + offset, out, frames, channels_, 32 - layout_.Bits);
                break;
        }
    }

    SNDFILE* file_;
    int32_t channels_;
    SampleLayout layout_;
    const ThirdPartyStderr& stderrSink_;
    std::vector<int32_t> ints_;
    std::vector<float> floats_;
    int32_t position_ = 0;
    int32_t available_ = 0;
    int64_t chunkFirstFrame_ = 0;  // frame index of floats_[0] / ints_[0] in the file
    SampleDefects defects_;
};

void AppendDouble(std::string& line, double value) {
    // Shortest text that reads back to the same double; always the C locale.
    char digits[32];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    line.append(digits, end);
}

void AppendInt(std::string& line, int64_t value) {
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    line.append(digits, end);
}

// Tick time in seconds with three decimals, from whole milliseconds.
void AppendSeconds(std::string& line, int64_t milliseconds) {
    AppendInt(line, milliseconds / 1000);
    line.push_back('.');
    const int64_t fraction = milliseconds % 1000;
    line.push_back(static_cast<char>('0' + fraction / 100));
    line.push_back(static_cast<char>('0' + fraction / 10 % 10));
    line.push_back(static_cast<char>('0' + fraction % 10));
}

void AppendTick(std::string& line, int64_t milliseconds, const SpectrumResult& r, bool tsv) {
    line.clear();
    AppendSeconds(line, milliseconds);
    line.push_back('\t');
    if (!tsv) {
        line.append(r.CentreCaption);
        line.push_back('\t');
        line.append(r.AmpCaption);
    } else {
        AppendInt(line, r.SpecPeakBin - static_cast<int32_t>(CentreBin));
        line.push_back('\t');
        AppendInt(line, r.SpecHiPeakBin - static_cast<int32_t>(CentreBin));
        line.push_back('\t');
        AppendDouble(line, r.SpecPeak);
        line.push_back('\t');
        AppendDouble(line, r.SpecHiPeak);
        line.push_back('\t');
        AppendDouble(line, r.Ratio);
        line.push_back('\t');
        AppendInt(line, r.SpecColour);
        line.push_back('\t');
        AppendInt(line, r.SpecHiColour);
        line.push_back('\t');
        line.push_back(r.SpecPlotted ? '1' : '0');
        line.push_back('\t');
        line.push_back(r.SpecHiPlotted ? '1' : '0');
    }
    line.push_back('\n');
}

void ReportError(std::ostream& err, std::string_view message) {
    err << ProgramPrefix << message << '\n';
    err.flush();
}

bool IsStandardInput(const std::string& path) {
    return path == "-";
}

// How the file is named in messages.
std::string Quoted(const std::string& path) {
    return IsStandardInput(path) ? std::string("standard input") : "'" + path + "'";
}

// Why path must not be opened, or empty. open() on a FIFO without a writer blocks for ever,
// and folders, terminals or sockets hold no sound file; so only regular files and block
// devices (a disk image can be one) are opened.
std::string Refusal(const std::string& path) {
    if (IsStandardInput(path)) {
        return isatty(STDIN_FILENO) == 1
                   ? "cannot read standard input: it is a terminal (give a file, or pipe one in)"
                   : std::string();
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return "cannot read " + Quoted(path) + ": " + std::generic_category().message(errno);
    }
    if (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) {
        return {};
    }
    const char* kind = S_ISDIR(status.st_mode)    ? "a folder"
                       : S_ISFIFO(status.st_mode) ? "a named pipe (FIFO)"
                       : S_ISCHR(status.st_mode)  ? "a character device"
                       : S_ISSOCK(status.st_mode) ? "a socket"
                                                  : "no regular file";
    return "cannot read " + Quoted(path) + ": it is " + kind +
           "; only regular files can be analysed ('-' reads standard input)";
}

// Why sf_open refused a file that Refusal let through. libsndfile's own text is kept where
// it is true; for a file it took for MPEG and then could not decode it says "File does not
// exist or is not a regular file", which the stat above has just shown to be false.
std::string OpenFailure(const std::string& path) {
    const std::string reason = sf_strerror(nullptr);
    if (reason.rfind("File does not exist", 0) != 0) {
        return "cannot read " + Quoted(path) + ": " + reason;
    }
    // The log of the failed open names the format libsndfile guessed, where it got that far.
    char log[4096] = {};
    sf_command(nullptr, SFC_GET_LOG_INFO, log, sizeof log);
    const std::string_view logText(log);
    if (logText.find("MPEG") != std::string_view::npos) {
        return "cannot read " + Quoted(path) + ": " +
               (IsStandardInput(path) ? "libsndfile took the data"
                                      : "the file exists, but libsndfile took it") +
               " for MPEG audio (MP3) and could not decode it";
    }
    return "cannot read " + Quoted(path) + ": " +
           (IsStandardInput(path) ? "the data" : "the file exists, but it") +
           " is in no sound format that libsndfile could read";
}

// "1 sample that is no number (NaN or infinity), at 2.000 s"
void AppendDefect(std::string& line, int64_t count, std::string_view one, std::string_view many,
                  int64_t firstFrame, int32_t rate) {
    AppendInt(line, count);
    line.append(count == 1 ? one : many);
    line.append(count == 1 ? ", at " : ", the first at ");
    AppendSeconds(line, firstFrame * 1000 / rate);
    line.append(" s");
}

// The one warning line after a run over samples analysed as 0; empty when there were none.
std::string DefectWarning(const std::string& path, const SampleDefects& d, int32_t rate) {
    if (d.NotNumbers == 0 && d.TooLarge == 0) {
        return {};
    }
    std::string line = "warning: " + Quoted(path) + " holds ";
    if (d.NotNumbers > 0) {
        AppendDefect(line, d.NotNumbers, " sample that is no number (NaN or infinity)",
                     " samples that are no numbers (NaN or infinity)", d.FirstNotNumberFrame, rate);
        if (d.TooLarge > 0) {
            line.append(", and ");
        }
    }
    if (d.TooLarge > 0) {
        AppendDefect(line, d.TooLarge, " sample beyond 1e19 times full scale",
                     " samples beyond 1e19 times full scale", d.FirstTooLargeFrame, rate);
    }
    line.append(d.NotNumbers + d.TooLarge == 1 ? "; it was analysed as 0"
                                               : "; they were analysed as 0");
    return line;
}

}  // namespace

std::optional<int32_t> NoteShiftForName(std::string_view name) {
    if (name.empty()) {
        return std::nullopt;
    }
    std::string letter(1, static_cast<char>(std::toupper(static_cast<unsigned char>(name[0]))));
    name.remove_prefix(1);
    if (!name.empty() && name.front() == '#') {
        letter.push_back('#');
        name.remove_prefix(1);
    }
    const auto found = std::find(NoteNames.begin(), NoteNames.end(), letter);
    if (found == NoteNames.end()) {
        return std::nullopt;
    }
    const auto pitchClass = static_cast<int32_t>(found - NoteNames.begin());
    // Only a minus sign, as the tuner prints it; octaves far outside any piano are refused
    // before the arithmetic can overflow.
    int32_t octave = 0;
    if (name.empty() || name.front() == '+' || !ParseInt(name, octave) || octave < -1000 ||
        octave > 1000) {
        return std::nullopt;
    }
    // Inverse of the naming: pitch class (m + 1197) mod 12, octave (m + 141) div 12 - 8.
    return 12 * octave + pitchClass - 45;
}

std::string_view AnalyseUsage() {
    return "usage: stemora-analyse [--note NAME | --shift N] [--tsv] FILE";
}

std::string_view AnalyseHelp() {
    return "usage: stemora-analyse [--note NAME | --shift N] [--tsv] FILE\n"
           "Runs the tuner's analysis on a sound file: one line per 63 ms of sound, with the\n"
           "tick's time and the two captions the window shows.\n"
           "  --note NAME  centre note as the tuner names it, G#0 to C#8 (default A4)\n"
           "  --shift N    centre note in semitones above A3, -37 to 52\n"
           "  --tsv        the numbers behind the captions, tab-separated, under a header\n"
           "  --version    print the program's version and nothing else\n"
           "  FILE         a regular file that libsndfile reads (WAV, FLAC, Ogg, AIFF, MP3 ...);\n"
           "               '-' reads standard input; a file named '-' is given as ./-\n"
           "Float samples that are no number (NaN, infinity) or beyond 1e19 times full scale\n"
           "are analysed as 0, and a warning line at the end says how many and when.\n"
           "Exit status: 0 done, 1 the file could not be read, 2 bad command line.\n";
}

std::string_view AnalyseTsvHeader() {
    return "time_s\tspec_bin\tspechi_bin\tspec_peak\tspechi_peak\tratio\tspec_colour\t"
           "spechi_colour\tspec_plotted\tspechi_plotted";
}

ParsedArguments ParseAnalyseArguments(std::span<const std::string_view> args) {
    ParsedArguments parsed;
    AnalyseOptions options;
    bool haveNote = false;
    bool haveShift = false;
    bool haveFile = false;
    bool optionsEnded = false;
    auto fail = [&parsed](std::string message) {
        parsed.Error = std::move(message);
        return parsed;
    };

    for (size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (optionsEnded || arg.empty() || arg.front() != '-' || arg == "-") {
            if (haveFile) {
                return fail("more than one file given (" + std::string(AnalyseUsage()) + ")");
            }
            options.Path = std::string(arg);
            haveFile = true;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.Help = true;
            return parsed;
        }
        if (arg == "--version") {
            parsed.Version = true;
            return parsed;
        }
        if (arg == "--tsv") {
            options.Tsv = true;
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string_view> value;
        if (const size_t eq = arg.find('='); eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (name != "--note" && name != "--shift") {
            return fail("unknown option '" + std::string(arg) + "' (" +
                        std::string(AnalyseUsage()) + ")");
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                return fail(std::string(name) + (name == "--note"
                                                     ? " needs a note name such as A4"
                                                     : " needs a number of semitones above A3"));
            }
            value = args[++i];
        }
        if (haveNote || haveShift) {
            return fail("give the centre note once, with either --note or --shift");
        }
        if (name == "--note") {
            const std::optional<int32_t> shift = NoteShiftForName(*value);
            if (!shift) {
                return fail("unknown note name '" + std::string(*value) +
                            "' (names look like A4, C#5 or G#0)");
            }
            if (*shift < LowestAnalysedNoteShift || *shift > HighestAnalysedNoteShift) {
                return fail("note " + std::string(*value) + " lies outside G#0 to C#8");
            }
            options.NoteShift = *shift;
            haveNote = true;
        } else {
            int32_t shift = 0;
            if (!ParseInt(*value, shift) || shift < LowestAnalysedNoteShift ||
                shift > HighestAnalysedNoteShift) {
                return fail("--shift needs a whole number from -37 to 52, not '" +
                            std::string(*value) + "'");
            }
            options.NoteShift = shift;
            haveShift = true;
        }
    }
    if (!haveFile) {
        return fail("no file given (" + std::string(AnalyseUsage()) + ")");
    }
    parsed.Options = std::move(options);
    return parsed;
}

int RunAnalysis(const AnalyseOptions& options, std::ostream& out, std::ostream& err) {
    const std::string& path = options.Path;
    if (const std::string refusal = Refusal(path); !refusal.empty()) {
        ReportError(err, refusal);
        return AnalyseFileError;
    }
    // Declared before the handle: sf_close runs muted too.
    const ThirdPartyStderr stderrSink;
    SF_INFO info{};
    SndfileHandle file(nullptr, SndfileCloser{&stderrSink});
    {
        const ThirdPartyStderr::Muted muted(&stderrSink);
        file.reset(sf_open(path.c_str(), SFM_READ, &info));
    }
    if (!file) {
        ReportError(err, OpenFailure(path));
        return AnalyseFileError;
    }
    if (info.channels != 1 && info.channels != 2) {
        ReportError(err, Quoted(path) + " has " + std::to_string(info.channels) +
                             " channels; only mono and stereo files can be analysed");
        return AnalyseFileError;
    }
    // Below one frame per 1 ms pass the passes would mostly be empty: no real recording is
    // that slow, and a broken header claiming 1 Hz would turn a short file into hours of ticks.
    if (info.samplerate < MinAnalysedSampleRate) {
        ReportError(err, Quoted(path) + " has a sample rate of " + std::to_string(info.samplerate) +
                             " Hz; at least 1000 Hz is needed");
        return AnalyseFileError;
    }
    const int32_t captureRate = info.samplerate;
    const double decimationRate = DecimationRateFor(options.NoteShift);

    auto buffers = std::make_unique<SampleBuffers>();
    auto analyser = std::make_unique<SpectrumAnalyser>();
    analyser->BuildWindowTable();
    buffers->ResetDecimators();
    FrameReader reader(file.get(), info.channels, LayoutFor(info.format), stderrSink);

    std::string line;
    if (options.Tsv) {
        out << AnalyseTsvHeader() << '\n';
    }
    // Pass p covers the frames from floor(p * rate / 1000) to floor((p + 1) * rate / 1000), so
    // passes follow the file's rate exactly over any length.
    bool ended = false;
    for (int64_t pass = 0; !ended; ++pass) {
        const int64_t first = pass * captureRate / 1000;
        int64_t remaining = (pass + 1) * captureRate / 1000 - first;
        // At most one buffer per feed; very high rates split a pass into several feeds.
        do {
            const auto wanted =
                static_cast<int32_t>(std::min<int64_t>(remaining, SampleBufferLength));
            const int32_t got = reader.Read(buffers->SampleBuffer(), wanted);
            buffers->Spec.Feed(captureRate, got, decimationRate);
            buffers->SpecHi.Feed(captureRate, got, 2 * decimationRate);
            remaining -= got;
            ended = got < wanted;
        } while (remaining > 0 && !ended);
        if (!ended && (pass + 1) % TickMilliseconds == 0) {
            analyser->PackFrames(buffers->Spec.Block(), buffers->SpecHi.Block());
            AppendTick(line, pass + 1, analyser->AnalyseSpectra("."), options.Tsv);
            out << line;
        }
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
        out.flush();
        ReportError(err, "reading " + Quoted(path) + " failed: " + sf_strerror(file.get()));
        return AnalyseFileError;
    }
    out.flush();
    if (!out) {
        ReportError(err, "could not write the results");
        return AnalyseFileError;
    }
    if (const std::string warning = DefectWarning(path, reader.Defects(), captureRate);
        !warning.empty()) {
        ReportError(err, warning);
    }
    return AnalyseOk;
}

int AnalyseMain(std::span<const std::string_view> args, std::ostream& out,
                std::ostream& err) noexcept {
    try {
        const ParsedArguments parsed = ParseAnalyseArguments(args);
        if (parsed.Help || parsed.Version) {
            if (parsed.Help) {
                out << AnalyseHelp();
            } else {
                out << "stemora-analyse " << StemoraVersion << '\n';
            }
            out.flush();
            return out ? AnalyseOk : AnalyseFileError;
        }
        if (!parsed.Options) {
            ReportError(err, parsed.Error);
            return AnalyseUsageError;
        }
        return RunAnalysis(*parsed.Options, out, err);
    } catch (const std::exception& e) {
        try {
            ReportError(err, e.what());
        } catch (...) {
        }
    } catch (...) {
    }
    return AnalyseFileError;
}

}  // namespace stemora
