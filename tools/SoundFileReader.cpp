#include "SoundFileReader.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <system_error>
#include <vector>

#include "AnalyseText.h"
#include "core/FrameConversion.h"

namespace stemora {

namespace {

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

SampleLayout layoutFor(int format) {
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

// Channel values as the capture thread forms them, stereo frames through the same StereoSample.
// sf_readf_int delivers integers left-aligned in 32 bits, so a right shift by 32 - bits
// restores the sample's own scale.
void convertUnsignedBytes(const int32_t* in, float* out, int32_t frames,
                          int32_t channels) noexcept {
    // (byte - 128) << 24 comes in; byte - 127.5 = (value >> 24) + 0.5, exact in float.
    if (channels == 1) {
        for (int32_t j = 0; j < frames; ++j) {
            out[j] = static_cast<float>(in[j] >> 24) + 0.5f;
        }
    } else {
        for (int32_t j = 0; j < frames; ++j) {
            out[j] = StereoSample((in[2 * j] >> 24) + 0.5, (in[2 * j + 1] >> 24) + 0.5);
        }
    }
}

void convertIntegers(const int32_t* in, float* out, int32_t frames, int32_t channels,
                     int32_t shift) noexcept {
    if (channels == 1) {
        for (int32_t j = 0; j < frames; ++j) {
            out[j] = static_cast<float>(in[j] >> shift);
        }
    } else {
        for (int32_t j = 0; j < frames; ++j) {
            out[j] = StereoSample(in[2 * j] >> shift, in[2 * j + 1] >> shift);
        }
    }
}

void noteDefect(SampleDefects& defects, float value, int64_t frame) noexcept {
    if (std::isfinite(value)) {
        defects.FirstTooLargeFrame = defects.TooLarge++ == 0 ? frame : defects.FirstTooLargeFrame;
    } else {
        defects.FirstNotNumberFrame =
            defects.NotNumbers++ == 0 ? frame : defects.FirstNotNumberFrame;
    }
}

// The file's float as analysed: itself, or 0 (noted) when it is no number or too large.
inline float checkedFloat(float value, int64_t frame, SampleDefects& defects) noexcept {
    // NaN fails this comparison too.
    if (std::fabs(value) <= kMaxFloatSample) [[likely]] {
        return value;
    }
    noteDefect(defects, value, frame);
    return 0.0f;
}

void convertFloats(const float* in, float* out, int32_t frames, int32_t channels,
                   int64_t firstFrame, SampleDefects& defects) noexcept {
    if (channels == 1) {
        for (int32_t j = 0; j < frames; ++j) {
            out[j] = checkedFloat(in[j], firstFrame + j, defects) * 32768.0f;
        }
    } else {
        for (int32_t j = 0; j < frames; ++j) {
            // Scaled in float, as a mono sample is; the float sum is the stereo rule's.
            out[j] = StereoSample(checkedFloat(in[2 * j], firstFrame + j, defects) * 32768.0f,
                                  checkedFloat(in[2 * j + 1], firstFrame + j, defects) * 32768.0f);
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
// each) and hands out converted mono samples; the format is chosen once, at open. On a stream
// a read waits until all its frames have come, so there reads can be held to a given frame.
class FrameReader {
  public:
    static constexpr int32_t kChunkFrames = 8192;

    FrameReader(SNDFILE* file, int32_t channels, SampleLayout layout,
                const ThirdPartyStderr& stderrSink)
        : file_(file), channels_(channels), layout_(layout), stderrSink_(stderrSink) {
        if (layout_.Kind == SampleKind::Float) {
            floats_.resize(static_cast<size_t>(kChunkFrames) * channels_);
        } else {
            ints_.resize(static_cast<size_t>(kChunkFrames) * channels_);
        }
    }

    // Converts up to frames frames into out; returns the count delivered, fewer only at the
    // end of the data (or on a read error, which sf_error then reports).
    int32_t Read(float* out, int32_t frames) noexcept {
        int32_t delivered = 0;
        while (delivered < frames) {
            if (position_ == available_ && !refill(frames - delivered)) {
                break;
            }
            const int32_t n = std::min(frames - delivered, available_ - position_);
            convert(out + delivered, n);
            delivered += n;
            position_ += n;
        }
        return delivered;
    }

    // Reads from here on end at frame end, or at what Read asks for beyond it.
    void HoldReadsAt(int64_t end) noexcept { readEnd_ = end; }

    const SampleDefects& Defects() const noexcept { return defects_; }

  private:
    bool refill(int32_t needed) noexcept {
        chunkFirstFrame_ += available_;
        position_ = 0;
        int32_t wanted = kChunkFrames;
        if (readEnd_ >= 0) {
            const int64_t ahead = readEnd_ - chunkFirstFrame_;
            wanted = static_cast<int32_t>(std::min<int64_t>(ahead > 0 ? ahead : needed, wanted));
        }
        const ThirdPartyStderr::Muted muted(&stderrSink_);
        available_ = layout_.Kind == SampleKind::Float
                         ? static_cast<int32_t>(sf_readf_float(file_, floats_.data(), wanted))
                         : static_cast<int32_t>(sf_readf_int(file_, ints_.data(), wanted));
        available_ = std::clamp(available_, 0, wanted);
        return available_ > 0;
    }

    void convert(float* out, int32_t frames) noexcept {
        const size_t offset = static_cast<size_t>(position_) * channels_;
        switch (layout_.Kind) {
            case SampleKind::Float:
                convertFloats(floats_.data() + offset, out, frames, channels_,
                              chunkFirstFrame_ + position_, defects_);
                break;
            case SampleKind::UnsignedByte:
                convertUnsignedBytes(ints_.data() + offset, out, frames, channels_);
                break;
            case SampleKind::Integer:
                convertIntegers(ints_.data() + offset, out, frames, channels_, 32 - layout_.Bits);
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
    int64_t readEnd_ = -1;         // no hold
    SampleDefects defects_;
};

bool isStandardInput(const std::string& path) {
    return path == "-";
}

std::string quoted(const std::string& path) {
    return QuotedSoundPath(path);
}

// Why path must not be opened, or empty. open() on a FIFO without a writer blocks for ever,
// and folders, terminals or sockets hold no sound file; so only regular files and block
// devices (a disk image can be one) are opened.
std::string whyRefused(const std::string& path) {
    if (isStandardInput(path)) {
        return isatty(STDIN_FILENO) == 1
                   ? "cannot read standard input: it is a terminal (give a file, or pipe one in)"
                   : std::string();
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return "cannot read " + quoted(path) + ": " + std::generic_category().message(errno);
    }
    if (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) {
        return {};
    }
    const char* kind = S_ISDIR(status.st_mode)    ? "a folder"
                       : S_ISFIFO(status.st_mode) ? "a named pipe (FIFO)"
                       : S_ISCHR(status.st_mode)  ? "a character device"
                       : S_ISSOCK(status.st_mode) ? "a socket"
                                                  : "no regular file";
    return "cannot read " + quoted(path) + ": it is " + kind +
           "; only regular files can be analysed ('-' reads standard input)";
}

// Why sf_open refused a file that whyRefused let through. libsndfile's own text is kept where
// it is true; for a file it took for MPEG and then could not decode it says "File does not
// exist or is not a regular file", which the stat above has just shown to be false.
std::string openFailure(const std::string& path) {
    const std::string reason = sf_strerror(nullptr);
    if (reason.rfind("File does not exist", 0) != 0) {
        return "cannot read " + quoted(path) + ": " + reason;
    }
    // The log of the failed open names the format libsndfile guessed, where it got that far.
    char log[4096] = {};
    sf_command(nullptr, SFC_GET_LOG_INFO, log, sizeof log);
    const std::string_view logText(log);
    if (logText.find("MPEG") != std::string_view::npos) {
        return "cannot read " + quoted(path) + ": " +
               (isStandardInput(path) ? "libsndfile took the data"
                                      : "the file exists, but libsndfile took it") +
               " for MPEG audio (MP3) and could not decode it";
    }
    return "cannot read " + quoted(path) + ": " +
           (isStandardInput(path) ? "the data" : "the file exists, but it") +
           " is in no sound format that libsndfile could read";
}

// "1 sample that is no number (NaN or infinity), at 2.000 s"
void appendDefect(std::string& line, int64_t count, std::string_view one, std::string_view many,
                  int64_t firstFrame, int32_t rate) {
    AppendInt(line, count);
    line.append(count == 1 ? one : many);
    line.append(count == 1 ? ", at " : ", the first at ");
    AppendSeconds(line, firstFrame * 1000 / rate);
    line.append(" s");
}

// The one warning line after a run over samples analysed as 0; empty when there were none.
std::string defectWarningLine(const std::string& path, const SampleDefects& d, int32_t rate) {
    if (d.NotNumbers == 0 && d.TooLarge == 0) {
        return {};
    }
    std::string line = "warning: " + quoted(path) + " holds ";
    if (d.NotNumbers > 0) {
        appendDefect(line, d.NotNumbers, " sample that is no number (NaN or infinity)",
                     " samples that are no numbers (NaN or infinity)", d.FirstNotNumberFrame, rate);
        if (d.TooLarge > 0) {
            line.append(", and ");
        }
    }
    if (d.TooLarge > 0) {
        appendDefect(line, d.TooLarge, " sample beyond 1e19 times full scale",
                     " samples beyond 1e19 times full scale", d.FirstTooLargeFrame, rate);
    }
    line.append(d.NotNumbers + d.TooLarge == 1 ? "; it was analysed as 0"
                                               : "; they were analysed as 0");
    return line;
}

// Standard input that delivers its data as it comes (a pipe, a socket, a device), rather than
// a file redirected to it.
bool isStreamInput(const std::string& path) {
    struct stat status {};
    return isStandardInput(path) && fstat(STDIN_FILENO, &status) == 0 && !S_ISREG(status.st_mode) &&
           !S_ISBLK(status.st_mode);
}

int sndfileRawFormat(const RawFormat& raw) {
    int codec = SF_FORMAT_PCM_16;
    switch (raw.Encoding) {
        case RawEncoding::U8:
            codec = SF_FORMAT_PCM_U8;
            break;
        case RawEncoding::S8:
            codec = SF_FORMAT_PCM_S8;
            break;
        case RawEncoding::S16:
            codec = SF_FORMAT_PCM_16;
            break;
        case RawEncoding::S24:
            codec = SF_FORMAT_PCM_24;
            break;
        case RawEncoding::S32:
            codec = SF_FORMAT_PCM_32;
            break;
        case RawEncoding::F32:
            codec = SF_FORMAT_FLOAT;
            break;
        case RawEncoding::F64:
            codec = SF_FORMAT_DOUBLE;
            break;
        case RawEncoding::ALaw:
            codec = SF_FORMAT_ALAW;
            break;
        case RawEncoding::MuLaw:
            codec = SF_FORMAT_ULAW;
            break;
    }
    return SF_FORMAT_RAW | codec | (raw.BigEndian ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE);
}

// Recorders writing WAV to a pipe cannot know its length: they give 0 or the largest length
// (arecord 2 GiB, others 4 GiB - 1). Read by its header, such a stream would end at once, or
// after a few hours. Lengths from 2 GiB - 64 KiB up count as such; a real WAV file that long
// piped in is then read to its end, trailing chunks and all.
constexpr sf_count_t kLargestWavLength = 0x7FFF0000;

int bytesPerSample(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
            return 1;
        case SF_FORMAT_PCM_16:
            return 2;
        case SF_FORMAT_PCM_24:
            return 3;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT:
            return 4;
        case SF_FORMAT_DOUBLE:
            return 8;
        default:
            return 0;  // block-coded: not readable as plain frames
    }
}

// For a WAV stream of unknown length, the format that reads its samples as headerless PCM (the
// header has been read, so standard input now stands at the first sample); 0 otherwise.
int endlessWavFormat(const SF_INFO& info) {
    const int container = info.format & SF_FORMAT_TYPEMASK;
    const int bytes = bytesPerSample(info.format);
    if ((container != SF_FORMAT_WAV && container != SF_FORMAT_WAVEX) || bytes == 0) {
        return 0;
    }
    const sf_count_t length = info.frames * bytes * info.channels;
    if (length != 0 && length < kLargestWavLength) {
        return 0;
    }
    const int endian =
        (info.format & SF_FORMAT_ENDMASK) == SF_ENDIAN_BIG ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE;
    return SF_FORMAT_RAW | (info.format & SF_FORMAT_SUBMASK) | endian;
}

}  // namespace

struct SoundFileReader::State {
    std::string Path;
    bool Stream = false;
    // Declared before the handle: sf_close runs muted too.
    ThirdPartyStderr StderrSink;
    SndfileHandle File{nullptr, SndfileCloser{&StderrSink}};
    SF_INFO Info{};
    std::unique_ptr<FrameReader> Frames;

    // Standard input is never closed here: a WAV stream is opened twice, and the caller's fd 0
    // stays its own.
    void OpenFile() {
        const ThirdPartyStderr::Muted muted(&StderrSink);
        File.reset(isStandardInput(Path) ? sf_open_fd(STDIN_FILENO, SFM_READ, &Info, SF_FALSE)
                                         : sf_open(Path.c_str(), SFM_READ, &Info));
    }
};

std::unique_ptr<SoundFileReader> SoundFileReader::Open(const std::string& path,
                                                       const std::optional<RawFormat>& raw,
                                                       std::string& error) {
    if (std::string refusal = whyRefused(path); !refusal.empty()) {
        error = std::move(refusal);
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->Path = path;
    state->Stream = isStreamInput(path);
    if (raw) {
        state->Info.samplerate = raw->SampleRate;
        state->Info.channels = raw->Channels;
        state->Info.format = sndfileRawFormat(*raw);
    }
    state->OpenFile();
    if (!state->File) {
        error = openFailure(path);
        return nullptr;
    }
    if (const int endless = endlessWavFormat(state->Info); state->Stream && endless != 0) {
        const SF_INFO header = state->Info;
        state->File.reset();
        state->Info = SF_INFO{};
        state->Info.samplerate = header.samplerate;
        state->Info.channels = header.channels;
        state->Info.format = endless;
        state->OpenFile();
        if (!state->File) {
            error = openFailure(path);
            return nullptr;
        }
    }
    const SF_INFO& info = state->Info;
    if (info.channels != 1 && info.channels != 2) {
        error = quoted(path) + " has " + std::to_string(info.channels) +
                " channels; only mono and stereo files can be analysed";
        return nullptr;
    }
    // Below one frame per 1 ms pass the passes would mostly be empty: no real recording is
    // that slow, and a broken header claiming 1 Hz would turn a short file into hours of ticks.
    if (info.samplerate < kMinAnalysedSampleRate) {
        error = quoted(path) + " has a sample rate of " + std::to_string(info.samplerate) +
                " Hz; at least 1000 Hz is needed";
        return nullptr;
    }
    state->Frames = std::make_unique<FrameReader>(state->File.get(), info.channels,
                                                  layoutFor(info.format), state->StderrSink);
    return std::unique_ptr<SoundFileReader>(new SoundFileReader(std::move(state)));
}

SoundFileReader::SoundFileReader(std::unique_ptr<State> state) : state_(std::move(state)) {}

SoundFileReader::~SoundFileReader() = default;

int32_t SoundFileReader::SampleRate() const noexcept {
    return state_->Info.samplerate;
}

int32_t SoundFileReader::Read(float* out, int32_t frames) noexcept {
    return state_->Frames->Read(out, frames);
}

std::string SoundFileReader::ReadFailure() const {
    if (sf_error(state_->File.get()) == SF_ERR_NO_ERROR) {
        return {};
    }
    return "reading " + quoted(state_->Path) + " failed: " + sf_strerror(state_->File.get());
}

const SampleDefects& SoundFileReader::Defects() const noexcept {
    return state_->Frames->Defects();
}

std::string SoundFileReader::DefectWarning() const {
    return defectWarningLine(state_->Path, Defects(), SampleRate());
}

bool SoundFileReader::IsStream() const noexcept {
    return state_->Stream;
}

void SoundFileReader::HoldReadsAt(int64_t frame) noexcept {
    state_->Frames->HoldReadsAt(frame);
}

std::string QuotedSoundPath(const std::string& path) {
    return isStandardInput(path) ? std::string("standard input") : "'" + path + "'";
}

}  // namespace stemora
