#include "AnalyseArguments.h"

#include <cctype>
#include <charconv>
#include <system_error>

#include "core/TuningState.h"

namespace stemora {

namespace {

bool parseInt(std::string_view text, int32_t& value) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

struct EncodingName {
    std::string_view Name;
    RawEncoding Encoding;
    bool MultiByte;
};

constexpr EncodingName kEncodingNames[] = {
    {"u8", RawEncoding::U8, false},      {"s8", RawEncoding::S8, false},
    {"s16", RawEncoding::S16, true},     {"s24", RawEncoding::S24, true},
    {"s32", RawEncoding::S32, true},     {"f32", RawEncoding::F32, true},
    {"float32", RawEncoding::F32, true}, {"f64", RawEncoding::F64, true},
    {"float64", RawEncoding::F64, true}, {"alaw", RawEncoding::ALaw, false},
    {"ulaw", RawEncoding::MuLaw, false},
};

}  // namespace

std::optional<RawFormat> ParseRawFormat(std::string_view text, std::string& error) {
    const size_t first = text.find(':');
    const size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
    if (second == std::string_view::npos || text.find(':', second + 1) != std::string_view::npos) {
        error = "--raw needs RATE:CHANNELS:FORMAT, such as 48000:2:s16, not '" + std::string(text) +
                "'";
        return std::nullopt;
    }
    const std::string_view rate = text.substr(0, first);
    const std::string_view channels = text.substr(first + 1, second - first - 1);
    std::string encoding(text.substr(second + 1));
    for (char& c : encoding) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    RawFormat format;
    if (!parseInt(rate, format.SampleRate) || format.SampleRate < kMinAnalysedSampleRate ||
        format.SampleRate > kMaxRawSampleRate) {
        error = "--raw: the rate must be a whole number of Hz from 1000 to 1000000, not '" +
                std::string(rate) + "'";
        return std::nullopt;
    }
    if (!parseInt(channels, format.Channels) || format.Channels < 1 || format.Channels > 2) {
        error = "--raw: the channel count must be 1 or 2, not '" + std::string(channels) + "'";
        return std::nullopt;
    }
    std::string_view name = encoding;
    bool bigEndian = false;
    bool endianGiven = false;
    if (name.size() > 2 && (name.ends_with("le") || name.ends_with("be"))) {
        bigEndian = name.ends_with("be");
        endianGiven = true;
        name.remove_suffix(2);
    }
    for (const EncodingName& e : kEncodingNames) {
        if (e.Name == name && (e.MultiByte || !endianGiven)) {
            format.Encoding = e.Encoding;
            format.BigEndian = bigEndian;
            return format;
        }
    }
    error = "--raw: unknown sample format '" + std::string(text.substr(second + 1)) +
            "' (u8, s8, s16, s24, s32, f32, f64, the last five with le or be, alaw, ulaw)";
    return std::nullopt;
}

std::string_view AnalyseUsage() {
    return "usage: stemora-analyse [--note NAME | --shift N] [--tsv] [--raw RATE:CHANNELS:FORMAT] "
           "FILE";
}

std::string_view AnalyseHelp() {
    return "usage: stemora-analyse [--note NAME | --shift N] [--tsv] [--raw RATE:CHANNELS:FORMAT] "
           "FILE\n"
           "Runs the tuner's analysis on a sound file or a live stream: one line per 63 ms of\n"
           "sound, with the tick's time and the two captions the window shows.\n"
           "  --note NAME  centre note as the tuner names it, G#0 to C#8 (default A4)\n"
           "  --shift N    centre note in semitones above A3, -37 to 52\n"
           "  --tsv        the numbers behind the captions, tab-separated, under a header\n"
           "  --version    print the program's version and nothing else\n"
           "  --raw R:C:F  FILE is headerless PCM: R frames a second, C channels (1 or 2),\n"
           "               samples F: u8, s8, s16, s24, s32, f32, f64 (little-endian; s16be\n"
           "               and so on for big-endian), alaw or ulaw; e.g. --raw 48000:2:s16\n"
           "  FILE         a regular file that libsndfile reads (WAV, FLAC, Ogg, AIFF, MP3 ...);\n"
           "               '-' reads standard input; a file named '-' is given as ./-\n"
           "Live: from a pipe, or into a terminal or pipe, each line is written as soon as its\n"
           "tick is computed. A pipe is read for as long as it lasts (a WAV header with no\n"
           "length or the largest one is endless); its end, Ctrl-C and SIGTERM end the run\n"
           "with status 0 after the last full line. Recorders that write to a pipe:\n"
           "  arecord -q -f S16_LE -r 48000 -c 2 -t wav | stemora-analyse --note A4 -\n"
           "  parec --raw --format=s16le --rate=48000 --channels=2 --latency-msec=20 |\n"
           "      stemora-analyse --raw 48000:2:s16 --note A4 -\n"
           "  pw-record --rate 48000 --channels 2 --format s16 - |\n"
           "      stemora-analyse --raw 48000:2:s16 --note A4 -\n"
           "As in the window, a line reads the older half of the tuner's block: at A4 the\n"
           "sound from 2.3 s to 1.2 s before the line's time (twice as far back an octave\n"
           "lower, half as far an octave higher); so a new note shows about 1.2 s late at A4.\n"
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
        if (name != "--note" && name != "--shift" && name != "--raw") {
            return fail("unknown option '" + std::string(arg) + "' (" +
                        std::string(AnalyseUsage()) + ")");
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                return fail(std::string(name) +
                            (name == "--note" ? " needs a note name such as A4"
                             : name == "--shift"
                                 ? " needs a number of semitones above A3"
                                 : " needs RATE:CHANNELS:FORMAT, such as 48000:2:s16"));
            }
            value = args[++i];
        }
        if (name == "--raw") {
            if (options.Raw) {
                return fail("give --raw once");
            }
            std::string error;
            options.Raw = ParseRawFormat(*value, error);
            if (!options.Raw) {
                return fail(error);
            }
            continue;
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
            if (*shift < kLowestAnalysedNoteShift || *shift > kHighestAnalysedNoteShift) {
                return fail("note " + std::string(*value) + " lies outside G#0 to C#8");
            }
            options.NoteShift = *shift;
            haveNote = true;
        } else {
            int32_t shift = 0;
            if (!parseInt(*value, shift) || shift < kLowestAnalysedNoteShift ||
                shift > kHighestAnalysedNoteShift) {
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
