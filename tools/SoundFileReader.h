#pragma once

// The sound-file side of stemora-analyse: opens a file (or standard input) with libsndfile and
// hands out its frames as the mono samples the capture thread would make of them.
//
// Samples: integer encodings (PCM of 8, 16, 24 or 32 bits; the lossless ALAC, DWVW and DPCM
// ones) at their own scale, 8-bit ones as the unsigned byte minus 127.5; every other encoding
// (float, double, Vorbis, Opus, MPEG, A-law ...) as floats times 32768, the 16-bit scale.
// Stereo frames are the sum of the two channels. Mono and stereo files at 1000 Hz and above.
//
// Float samples that are not numbers (NaN, infinity) or lie beyond kMaxFloatSample are analysed
// as 0: one of them would otherwise blank the peak for seconds, or print "inf" at a false bin.
// They are counted, and DefectWarning() says how many there were and when the first came.
//
// A path must name a regular file or a block device; anything else (a FIFO would block open()
// for ever) is refused before it is opened. "-" is standard input (a file named "-" is "./-"),
// which may also be a stream: a pipe is read for as long as it lasts, and a WAV header on one
// that gives no length, or the largest (as recorders write to a pipe), is read as endless.
// Whatever libsndfile and its decoders write to stderr is kept off it: every failure is one
// line of our own, given back as text.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace stemora {

// Slowest sample rate analysed: one frame per 1 ms pass.
inline constexpr int32_t kMinAnalysedSampleRate = 1000;

// Largest float sample analysed, in full scales (1.0 = full scale). At the capture scale
// (x 32768) this is 3.3e23; decimator sums and the 4096-point float FFT then stay far below
// the float range, where around 1e30 full scales they overflow and the spectrum is lost.
inline constexpr float kMaxFloatSample = 1e19f;

// Fastest sample rate the raw option takes (the fastest interfaces run at 768 kHz).
inline constexpr int32_t kMaxRawSampleRate = 1000000;

// Headerless PCM, which says nothing about itself: its rate, channels and sample encoding.
enum class RawEncoding { U8, S8, S16, S24, S32, F32, F64, ALaw, MuLaw };
struct RawFormat {
    int32_t SampleRate = 48000;
    int32_t Channels = 2;
    RawEncoding Encoding = RawEncoding::S16;
    bool BigEndian = false;  // multi-byte encodings; little-endian unless asked
    bool operator==(const RawFormat&) const = default;
};

// Float samples the analysis cannot take, counted as they are replaced by 0.
struct SampleDefects {
    int64_t NotNumbers = 0;  // NaN or infinity
    int64_t FirstNotNumberFrame = -1;
    int64_t TooLarge = 0;  // beyond kMaxFloatSample
    int64_t FirstTooLargeFrame = -1;
};

class SoundFileReader {
  public:
    // Opens path ("-": standard input), as headerless PCM of the given format when raw is set.
    // On failure returns nothing and sets error to one line (without the program name). Points
    // the process's fd 2 at /dev/null while libsndfile runs, here, in Read and in the
    // destructor: nothing else may write to fd 2 meanwhile.
    static std::unique_ptr<SoundFileReader> Open(const std::string& path,
                                                 const std::optional<RawFormat>& raw,
                                                 std::string& error);

    ~SoundFileReader();
    SoundFileReader(const SoundFileReader&) = delete;
    SoundFileReader& operator=(const SoundFileReader&) = delete;

    int32_t SampleRate() const noexcept;

    // True when reading standard input that delivers its data as it comes (a pipe, socket or
    // device): a read then waits for all its frames, and ends only when the writer does.
    bool IsStream() const noexcept;

    // From here on, reads ahead stop at frame end (counted from the first frame), so that a
    // read from a stream does not wait for sound beyond it.
    void HoldReadsAt(int64_t end) noexcept;

    // Converts up to frames frames into out (mono, capture scale); returns the count
    // delivered, fewer only at the end of the data or on a read error (see ReadFailure).
    int32_t Read(float* out, int32_t frames) noexcept;

    // After a short Read: the line saying why reading failed, or empty at a plain end.
    std::string ReadFailure() const;

    const SampleDefects& Defects() const noexcept;

    // The one warning line after a run over samples analysed as 0 (without the program name);
    // empty when there were none.
    std::string DefectWarning() const;

  private:
    struct State;
    explicit SoundFileReader(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// How a path is named in messages: 'path', or "standard input" for "-".
std::string QuotedSoundPath(const std::string& path);

}  // namespace stemora
