#include "AnalyseArguments.h"

#include <charconv>
#include <system_error>

#include "core/TuningState.h"

namespace stemora {

namespace {

bool ParseInt(std::string_view text, int32_t& value) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

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
           "  FILE         a regular file that libsndfile reads (WAV, FLAC, Ogg, AIFF, MP3 ...);\n"
           "               '-' reads standard input; a file named '-' is given as ./-\n"
           "Float samples that are no number (NaN, infinity) or beyond 1e19 times full scale\n"
           "are analysed as 0, and a warning line at the end says how many and when.\n"
           "Exit status: 0 done, 1 the file could not be read, 2 bad command line.\n";
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

}  // namespace stemora
