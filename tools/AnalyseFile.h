#pragma once

// stemora-analyse: the tuner's analysis path run on a sound file.
//
//     stemora-analyse [--note NAME | --shift N] [--tsv] FILE
//
// The file's frames become mono samples as the capture thread converts captured frames, feed
// both decimators in passes of 1 ms of sound, and every 63 ms of sound one display tick runs
// and prints one line. Single-threaded; everything here is for the tool and its tests.
//
// Samples: integer encodings (PCM of 8, 16, 24 or 32 bits; the lossless ALAC, DWVW and DPCM
// ones) at their own scale, 8-bit ones as the unsigned byte minus 127.5; every other encoding
// (float, double, Vorbis, Opus, MPEG, A-law ...) as floats times 32768, the 16-bit scale.
// Stereo frames are the sum of the two channels. Mono and stereo files at 1000 Hz and above.
//
// Float samples that are not numbers (NaN, infinity) or lie beyond MaxFloatSample are analysed
// as 0: one of them would otherwise blank the peak for seconds, or print "inf" at a false bin.
// The run still succeeds, and ends with one warning line on err saying how many there were
// and when the first came.
//
// FILE must be a regular file or a block device; anything else (a FIFO would block open() for
// ever) is refused before it is opened. "-" is standard input (a file named "-" is "./-").
// Whatever libsndfile and its decoders write to stderr is kept off it: every failure is the
// one line of our own.

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace stemora {

// Centre notes the piano picture offers: G#0 (-37) to C#8 (52).
inline constexpr int32_t LowestAnalysedNoteShift = -37;
inline constexpr int32_t HighestAnalysedNoteShift = 52;

// Slowest sample rate analysed: one frame per 1 ms pass.
inline constexpr int32_t MinAnalysedSampleRate = 1000;

// Largest float sample analysed, in full scales (1.0 = full scale). At the capture scale
// (x 32768) this is 3.3e23; decimator sums and the 4096-point float FFT then stay far below
// the float range, where around 1e30 full scales they overflow and the spectrum is lost.
inline constexpr float MaxFloatSample = 1e19f;

// Process exit codes.
inline constexpr int AnalyseOk = 0;
inline constexpr int AnalyseFileError = 1;   // unreadable or refused file, failed output
inline constexpr int AnalyseUsageError = 2;  // bad options or note

struct AnalyseOptions {
    int32_t NoteShift = 12;  // A4
    bool Tsv = false;
    std::string Path;
};

// The NoteShift of a note name as the tuner prints it ("A4", "C#5", "G#0", "A#-1"); the letter
// may also be lower case. Empty for anything else. Any octave is accepted here; the range
// check is the caller's.
std::optional<int32_t> NoteShiftForName(std::string_view name);

// Result of reading the command line: options to run with, a request for the usage text, or
// one line of error text (without the program name).
struct ParsedArguments {
    std::optional<AnalyseOptions> Options;
    bool Help = false;
    bool Version = false;
    std::string Error;
};

// Parses the arguments after the program name. Accepts "--note NAME", "--note=NAME",
// "--shift N", "--shift=N", "--tsv", "--help"/"-h", "--version" and "--" (only file names
// follow).
ParsedArguments ParseAnalyseArguments(std::span<const std::string_view> args);

// The usage line, without a trailing newline.
std::string_view AnalyseUsage();

// The --help text: the usage line and what the options, FILE and the warnings mean; ends
// with a newline.
std::string_view AnalyseHelp();

// Header of the --tsv output, without a trailing newline.
std::string_view AnalyseTsvHeader();

// Analyses options.Path ("-": standard input) and writes one line per tick to out. Problems
// with the file go to err as one line starting "stemora-analyse: "; the result is an exit
// code (AnalyseOk or AnalyseFileError). Lines written before a read error stay written. A
// successful run over samples analysed as 0 ends with one line "stemora-analyse: warning: ..."
// on err. Points the process's fd 2 at /dev/null while libsndfile runs: nothing else may
// write to fd 2 meanwhile, so err must not be written from another thread.
int RunAnalysis(const AnalyseOptions& options, std::ostream& out, std::ostream& err);

// The whole program: parses args (without the program name), prints the usage or the version
// on request, runs the analysis. Never throws; returns the process exit code.
int AnalyseMain(std::span<const std::string_view> args, std::ostream& out,
                std::ostream& err) noexcept;

}  // namespace stemora
