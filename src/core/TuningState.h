#pragma once

// The tuning state (centre note and displayed range) and every number derived from it:
// the decimation rate, note names, the centre-frequency text, the chart axis range, the
// semitone markers and the piano pointer. Pure functions and a small value type; no
// window, no threads. All functions may be called from any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stemora {

// Bin of the 4096-point transform at which the centre note falls.
inline constexpr double CentreBin = 1024.0;

// Defaults at start-up: A4 with ten semitones to each side.
inline constexpr int32_t kDefaultNoteShift = 12;
inline constexpr int32_t kDefaultViewRange = 10;
inline constexpr int32_t kMinViewRange = 1;
inline constexpr int32_t kMaxViewRange = 10;
// The step-down command stops at A0.
inline constexpr int32_t kLowestSteppedNoteShift = -36;

// English note names by pitch class, "C" (0) to "B" (11).
extern const std::array<std::string_view, 12> NoteNames;

// Note index m counts semitones above A3 (m = 0 is A3, 12 is A4, 3 is C4).
// Pitch class 0..11 (0 = C) and octave number (steps up at every C; m = 2 is B3, m = 3 is
// C4). Floored arithmetic, so every int32 index gets a class in 0..11 and an octave that
// steps up at every C, also far below the keyboard; names are unique for every index.
int32_t PitchClass(int32_t m) noexcept;
int32_t OctaveNumber(int32_t m) noexcept;

// Letter name followed by the octave: "A4", "G#0", "A#-1".
std::string NoteName(int32_t m);

// The inverse of NoteName: the note index of a name as the tuner prints it ("A4", "C#5",
// "G#0", "A#-1"); the letter may also be lower case. Empty for anything else, and for
// octaves beyond +-1000 (far outside any instrument). The range check is the caller's.
std::optional<int32_t> NoteShiftForName(std::string_view name);

// Russian name of a note from its English name ("A4" -> "Ля", "A#4" -> "Си-бемоль").
// The key is the first two characters when the name contains '#', otherwise the first.
// Returns an empty view for a name that selects no row. The result is a static UTF-8 text.
std::string_view RussianNoteName(std::string_view noteName);

// Spec decimator output rate in values per second: 880 * 2^(noteShift/12), computed in
// extended precision and stored as a double. The centre frequency is a quarter of it.
double DecimationRateFor(int32_t noteShift) noexcept;

// decimationRate / 4 with at least one integer digit, exactly four decimals and no group
// separator, followed by " Гц": "440,0000 Гц" for (1760, ","). decimalSeparator is UTF-8.
// Non-finite rates give "nan Гц", "inf Гц" or "-inf Гц".
std::string CentreFrequencyText(double decimationRate, std::string_view decimalSeparator);

// Horizontal range of all three charts, in bins of the 4096-point transform:
// centreBin / 2^(viewRange/12) to centreBin * 2^(viewRange/12).
struct AxisRange {
    double Low;
    double High;
};
AxisRange AxisRangeFor(int32_t viewRange, double centreBin = CentreBin) noexcept;

// One semitone marker on the charts. Position is in bins; Note is the note index of the
// lower chart (NoteShift - i); UpperLabel names the note one octave higher (upper chart).
struct Marker {
    double Position;
    int32_t Note;
    std::string LowerLabel;
    std::string UpperLabel;
    bool Sharp;
};
// 2 * viewRange + 1 markers for i = -viewRange .. +viewRange in ascending i (so positions
// descend). Empty for viewRange < 0.
std::vector<Marker> MarkersFor(int32_t noteShift, int32_t viewRange, double centreBin = CentreBin);

// Top-left corner of the piano pointer, in pixels relative to the piano picture (600 wide,
// semitones 6.76 pixels apart, A0 at the left). Top is 20 over a black key, 43 over a white.
struct PianoPointer {
    int32_t Left;
    int32_t Top;
};
PianoPointer PianoPointerFor(int32_t noteShift);

// Note selected by a release at picture column x (any int32, also outside the picture):
// round(x / 6.76 - 37), halves to even.
int32_t NoteShiftForPianoX(int32_t x) noexcept;

// The main window's two tuning fields and its three state-changing operations. Each
// operation tests its limit first, then changes the value; the window re-applies the state
// afterwards whether or not the value changed. Owned and touched by the window thread only.
struct TuningState {
    int32_t NoteShift = kDefaultNoteShift;
    int32_t ViewRange = kDefaultViewRange;

    // Mouse button released at picture column x: selects the note under it.
    void ClickPiano(int32_t x) noexcept;
    // One range step per wheel message: delta > 0 widens (up to 10), otherwise narrows
    // (down to 1).
    void WheelStep(int32_t delta) noexcept;
    // One semitone down, never below A0 (a lower note set by a click stays).
    void StepDown() noexcept;
};

}  // namespace stemora
