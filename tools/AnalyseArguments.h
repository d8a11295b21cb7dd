#pragma once

// stemora-analyse's command line: the options, their parsing and the usage and help texts.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "SoundFileReader.h"

namespace stemora {

// Centre notes the piano picture offers: G#0 (-37) to C#8 (52).
inline constexpr int32_t kLowestAnalysedNoteShift = -37;
inline constexpr int32_t kHighestAnalysedNoteShift = 52;

// Process exit codes.
inline constexpr int kAnalyseOk = 0;
inline constexpr int kAnalyseFileError = 1;   // unreadable or refused file, failed output
inline constexpr int kAnalyseUsageError = 2;  // bad options or note

struct AnalyseOptions {
    int32_t NoteShift = 12;  // A4
    bool Tsv = false;
    std::optional<RawFormat> Raw;  // the file is headerless PCM of this format
    std::string Path;
};

// The value of --raw, RATE:CHANNELS:FORMAT ("48000:2:s16"). FORMAT is u8, s8, s16, s24, s32,
// f32 or f64 (float32 and float64 too), the multi-byte ones little-endian unless "be" follows
// ("s16be"; "le" may be written), or alaw or ulaw; any letter case. Empty on a malformed value,
// with error set to one line.
std::optional<RawFormat> ParseRawFormat(std::string_view text, std::string& error);

// Result of reading the command line: options to run with, a request for the usage text, or
// one line of error text (without the program name).
struct ParsedArguments {
    std::optional<AnalyseOptions> Options;
    bool Help = false;
    bool Version = false;
    std::string Error;
};

// Parses the arguments after the program name. Accepts "--note NAME", "--note=NAME",
// "--shift N", "--shift=N", "--raw FORMAT", "--raw=FORMAT", "--tsv", "--help"/"-h", "--version"
// and "--" (only file names follow).
ParsedArguments ParseAnalyseArguments(std::span<const std::string_view> args);

// The usage line, without a trailing newline.
std::string_view AnalyseUsage();

// The --help text: the usage line and what the options, FILE and the warnings mean; ends
// with a newline.
std::string_view AnalyseHelp();

}  // namespace stemora
