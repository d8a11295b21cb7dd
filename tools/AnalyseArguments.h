#pragma once

// stemora-analyse's command line: the options, their parsing and the usage and help texts.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace stemora {

// Centre notes the piano picture offers: G#0 (-37) to C#8 (52).
inline constexpr int32_t LowestAnalysedNoteShift = -37;
inline constexpr int32_t HighestAnalysedNoteShift = 52;

// Process exit codes.
inline constexpr int AnalyseOk = 0;
inline constexpr int AnalyseFileError = 1;   // unreadable or refused file, failed output
inline constexpr int AnalyseUsageError = 2;  // bad options or note

struct AnalyseOptions {
    int32_t NoteShift = 12;  // A4
    bool Tsv = false;
    std::string Path;
};

// Result of reading the command line: options to run with, a request for the usage text, or
// one line of error text (without the program name).
struct ParsedArguments {
    std::optional<AnalyseOptions> Options;
    bool Help = false;
    std::string Error;
};

// Parses the arguments after the program name. Accepts "--note NAME", "--note=NAME",
// "--shift N", "--shift=N", "--tsv", "--help"/"-h" and "--" (only file names follow).
ParsedArguments ParseAnalyseArguments(std::span<const std::string_view> args);

// The usage line, without a trailing newline.
std::string_view AnalyseUsage();

// The --help text: the usage line and what the options, FILE and the warnings mean; ends
// with a newline.
std::string_view AnalyseHelp();

}  // namespace stemora
