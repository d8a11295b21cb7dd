#include "core/TuningState.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace stemora {

const std::array<std::string_view, 12> NoteNames = {"C",  "C#", "D",  "D#", "E",  "F",
                                                    "F#", "G",  "G#", "A",  "A#", "B"};

namespace {

// The piano picture places semitones 6.76 pixels apart; note -37 (G#0) maps to column 0.
constexpr long double kPianoKeyPitch = 6.76L;
constexpr int32_t kPianoNoteOffset = 37;

// Floored division and modulo, so that pitch classes stay in 0..11 and the octave steps up at
// every C for every index. A truncating remainder would leave the name table below -1197, and
// a truncating quotient would repeat octave -8 below C-8 (-141).
int64_t floorDiv(int64_t a, int64_t b) noexcept {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

int64_t floorMod(int64_t a, int64_t b) noexcept {
    return a - floorDiv(a, b) * b;
}

int32_t pitchClass64(int64_t m) noexcept {
    return static_cast<int32_t>(floorMod(m + 1197, 12));
}

int64_t octave64(int64_t m) noexcept {
    return floorDiv(m + 141, 12) - 8;
}

std::string noteName64(int64_t m) {
    std::string name(NoteNames[static_cast<size_t>(pitchClass64(m))]);
    name += std::to_string(octave64(m));
    return name;
}

int32_t saturate32(int64_t v) noexcept {
    if (v > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (v < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(v);
}

// Round to nearest, halves to even (the default floating-point rounding mode), saturated to
// int32 so that far-off values never overflow the conversion.
int32_t roundToInt32(long double v) noexcept {
    const long double r = std::nearbyint(v);
    if (!(r >= static_cast<long double>(std::numeric_limits<int32_t>::min()))) {
        return std::numeric_limits<int32_t>::min();
    }
    if (r > static_cast<long double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(r);
}

// Narrowing that gives infinity instead of an out-of-range conversion.
double toDouble(long double v) noexcept {
    if (v > static_cast<long double>(std::numeric_limits<double>::max())) {
        return std::numeric_limits<double>::infinity();
    }
    if (v < -static_cast<long double>(std::numeric_limits<double>::max())) {
        return -std::numeric_limits<double>::infinity();
    }
    return static_cast<double>(v);
}

struct RussianName {
    std::string_view Key;
    std::string_view Name;
};

constexpr std::array<RussianName, 12> kRussianNames = {{
    {"C", "До"},
    {"C#", "До-диез"},
    {"D", "Ре"},
    {"D#", "Ре-диез"},
    {"E", "Ми"},
    {"F", "Фа"},
    {"F#", "Фа-диез"},
    {"G", "Соль"},
    {"G#", "Соль-диез"},
    {"A", "Ля"},
    {"A#", "Си-бемоль"},
    {"B", "Си"},
}};

}  // namespace

int32_t PitchClass(int32_t m) noexcept {
    return pitchClass64(m);
}

int32_t OctaveNumber(int32_t m) noexcept {
    return static_cast<int32_t>(octave64(m));
}

std::string NoteName(int32_t m) {
    return noteName64(m);
}

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
    // Only a minus sign, as NoteName prints it; octaves far outside any piano are refused
    // before the arithmetic can overflow.
    int32_t octave = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), octave);
    if (name.empty() || ec != std::errc() || end != name.data() + name.size() || octave < -1000 ||
        octave > 1000) {
        return std::nullopt;
    }
    // Inverse of the naming: pitch class (m + 1197) mod 12, octave (m + 141) div 12 - 8.
    return 12 * octave + pitchClass - 45;
}

std::string_view RussianNoteName(std::string_view noteName) {
    const size_t keyLength = noteName.find('#') != std::string_view::npos ? 2 : 1;
    const std::string_view key = noteName.substr(0, keyLength);
    for (const RussianName& row : kRussianNames) {
        if (row.Key == key) {
            return row.Name;
        }
    }
    return {};
}

double DecimationRateFor(int32_t noteShift) noexcept {
    return toDouble(std::exp2(static_cast<long double>(noteShift) / 12.0L) * 440.0L * 2.0L);
}

std::string CentreFrequencyText(double decimationRate, std::string_view decimalSeparator) {
    // to_chars, unlike printf, ignores the C locale, so the only separator is the one given.
    // 309 integer digits, sign, point and four decimals fit.
    char digits[352];
    const double frequency = decimationRate / 4.0;
    std::string text;
    if (std::isnan(frequency)) {
        text = "nan";
    } else {
        const auto result =
            std::to_chars(digits, digits + sizeof digits, frequency, std::chars_format::fixed, 4);
        const std::string_view written(digits, static_cast<size_t>(result.ptr - digits));
        const size_t point = written.find('.');
        if (point == std::string_view::npos) {
            text = written;  // "inf" or "-inf"
        } else {
            text.reserve(written.size() + decimalSeparator.size() + 8);
            text.append(written.substr(0, point));
            text.append(decimalSeparator);
            text.append(written.substr(point + 1));
        }
    }
    text += " Гц";
    return text;
}

AxisRange AxisRangeFor(int32_t viewRange, double centreBin) noexcept {
    const long double factor = std::exp2(static_cast<long double>(viewRange) / 12.0L);
    return {toDouble(centreBin / factor), toDouble(factor * centreBin)};
}

std::vector<Marker> MarkersFor(int32_t noteShift, int32_t viewRange, double centreBin) {
    std::vector<Marker> markers;
    if (viewRange < 0) {
        return markers;
    }
    markers.reserve(static_cast<size_t>(2 * static_cast<int64_t>(viewRange) + 1));
    for (int64_t i = -static_cast<int64_t>(viewRange); i <= viewRange; ++i) {
        const int64_t note = static_cast<int64_t>(noteShift) - i;
        Marker marker{
            toDouble(centreBin / std::exp2(static_cast<long double>(i) / 12.0L)),
            saturate32(note),
            noteName64(note),
            noteName64(note + 12),
            false,
        };
        marker.Sharp = marker.LowerLabel.size() > 1 && marker.LowerLabel[1] == '#';
        markers.push_back(std::move(marker));
    }
    return markers;
}

PianoPointer PianoPointerFor(int32_t noteShift) {
    const long double column =
        static_cast<long double>(static_cast<int64_t>(noteShift) + kPianoNoteOffset) *
        kPianoKeyPitch;
    const int32_t left = saturate32(static_cast<int64_t>(roundToInt32(column)) - 3);
    const bool blackKey = NoteName(noteShift).find('#') != std::string::npos;
    return {left, blackKey ? 20 : 43};
}

int32_t NoteShiftForPianoX(int32_t x) noexcept {
    return roundToInt32(static_cast<long double>(x) / kPianoKeyPitch -
                        static_cast<long double>(kPianoNoteOffset));
}

void TuningState::ClickPiano(int32_t x) noexcept {
    NoteShift = NoteShiftForPianoX(x);
}

void TuningState::WheelStep(int32_t delta) noexcept {
    if (delta > 0) {
        if (ViewRange < kMaxViewRange) {
            ++ViewRange;
        }
    } else if (ViewRange > kMinViewRange) {
        --ViewRange;
    }
}

void TuningState::StepDown() noexcept {
    if (NoteShift > kLowestSteppedNoteShift) {
        --NoteShift;
    }
}

}  // namespace stemora
