#include "core/TuningState.h"

#include <gtest/gtest.h>

#include <limits>

namespace stemora {
namespace {

struct RateRow {
    int32_t NoteShift;
    const char* Note;
    double Rate;
    const char* Text;  // with "." as the separator
};

TEST(TuningStateTest, DecimationRateNoteAndFrequencyText) {
    const RateRow rows[] = {
        {-37, "G#0", 103.826174, "25.9565 Гц"},    {-36, "A0", 110.0, "27.5000 Гц"},
        {0, "A3", 880.0, "220.0000 Гц"},           {3, "C4", 1046.502261, "261.6256 Гц"},
        {12, "A4", 1760.0, "440.0000 Гц"},         {51, "C8", 16744.036179, "4186.0090 Гц"},
        {52, "C#8", 17739.688383, "4434.9221 Гц"}, {66, "D#9", 39824.25, "9956.0635 Гц"},
    };
    for (const RateRow& row : rows) {
        SCOPED_TRACE(row.NoteShift);
        const double rate = DecimationRateFor(row.NoteShift);
        EXPECT_NEAR(rate, row.Rate, 0.006);
        EXPECT_EQ(NoteName(row.NoteShift), row.Note);
        EXPECT_EQ(CentreFrequencyText(rate, "."), row.Text);
        std::string comma = row.Text;
        comma[comma.find('.')] = ',';
        EXPECT_EQ(CentreFrequencyText(rate, ","), comma);
    }
    // Whole octaves below and above A3 are exact.
    EXPECT_EQ(DecimationRateFor(-36), 110.0);
    EXPECT_EQ(DecimationRateFor(12), 1760.0);
    EXPECT_NEAR(DecimationRateFor(3), 1046.502261202, 1e-9);
}

TEST(TuningStateTest, FrequencyTextKeepsAllDigitsWithoutGrouping) {
    EXPECT_EQ(CentreFrequencyText(1e20, "\u066B"), "25000000000000000000\u066B0000 Гц");
    EXPECT_EQ(CentreFrequencyText(0.0, ","), "0,0000 Гц");
    EXPECT_EQ(CentreFrequencyText(0.00038, ","), "0,0001 Гц");
    EXPECT_EQ(CentreFrequencyText(DecimationRateFor(100000), ","), "inf Гц");
}

TEST(TuningStateTest, AxisRangeTable) {
    const double table[10][2] = {
        {966.5273, 1084.8902}, {912.2803, 1149.4011}, {861.0779, 1217.7481}, {812.7493, 1290.1592},
        {767.1332, 1366.8760}, {724.0773, 1448.1547}, {683.4380, 1534.2664}, {645.0796, 1625.4987},
        {608.8740, 1722.1559}, {574.7006, 1824.5606},
    };
    for (int32_t range = 1; range <= 10; ++range) {
        const AxisRange axis = AxisRangeFor(range);
        EXPECT_NEAR(axis.Low, table[range - 1][0], 5e-5) << range;
        EXPECT_NEAR(axis.High, table[range - 1][1], 5e-5) << range;
    }
}

TEST(TuningStateTest, NoteNamesReadBack) {
    EXPECT_EQ(NoteShiftForName("A4"), 12);
    EXPECT_EQ(NoteShiftForName("A3"), 0);
    EXPECT_EQ(NoteShiftForName("C4"), 3);
    EXPECT_EQ(NoteShiftForName("B3"), 2);
    EXPECT_EQ(NoteShiftForName("A0"), -36);
    EXPECT_EQ(NoteShiftForName("G#0"), -37);
    EXPECT_EQ(NoteShiftForName("C8"), 51);
    EXPECT_EQ(NoteShiftForName("C#8"), 52);
    EXPECT_EQ(NoteShiftForName("A#-1"), -47);
    EXPECT_EQ(NoteShiftForName("f#5"), 21);
    for (int32_t m = -200; m <= 200; ++m) {
        ASSERT_EQ(NoteShiftForName(NoteName(m)), m) << NoteName(m);
    }
    for (const char* bad : {"", "#4", "H4", "Cb4", "A", "A#", "A+4", "A4x", "A 4", "A-", "A##4",
                            "A99999999999", "A1001", "4A"}) {
        EXPECT_EQ(NoteShiftForName(bad), std::nullopt) << bad;
    }
}

TEST(TuningStateTest, NoteNamesAndPitchClasses) {
    EXPECT_EQ(NoteName(2), "B3");
    EXPECT_EQ(NoteName(-47), "A#-1");
    EXPECT_EQ(NoteName(-1197), "C-96");
    // Below -1197 the classes go on downwards instead of leaving the name table.
    EXPECT_EQ(NoteName(-1198), "B-97");
    EXPECT_EQ(NoteName(-1209), "C-97");
    // Below C-8 (-141) a truncating division would repeat octave -8 for eleven more notes.
    EXPECT_EQ(NoteName(-141), "C-8");
    EXPECT_EQ(NoteName(-142), "B-9");
    EXPECT_EQ(NoteName(std::numeric_limits<int32_t>::min()), "C#-178956967");
    EXPECT_EQ(NoteName(std::numeric_limits<int32_t>::max()), "E178956974");
    for (int32_t m = -3000; m < 3000; ++m) {
        // The plain non-negative remainder and quotient wherever they apply.
        if (m >= -1197) {
            ASSERT_EQ(PitchClass(m), (m + 1197) % 12) << m;
        }
        if (m >= -141) {
            ASSERT_EQ(OctaveNumber(m), (m + 141) / 12 - 8) << m;
        }
        // Classes run C..B and the octave steps up at every C, for every index.
        ASSERT_EQ(PitchClass(m + 1), (PitchClass(m) + 1) % 12) << m;
        ASSERT_EQ(OctaveNumber(m + 1), OctaveNumber(m) + (PitchClass(m + 1) == 0 ? 1 : 0)) << m;
    }
}

TEST(TuningStateTest, RussianNames) {
    EXPECT_EQ(RussianNoteName(NoteName(3)), "До");
    EXPECT_EQ(RussianNoteName(NoteName(13)), "Си-бемоль");
    EXPECT_EQ(RussianNoteName(NoteName(2)), "Си");
    const char* expected[12] = {"Ля",      "Си-бемоль", "Си", "До",      "До-диез", "Ре",
                                "Ре-диез", "Ми",        "Фа", "Фа-диез", "Соль",    "Соль-диез"};
    for (int32_t m = 0; m < 12; ++m) {
        EXPECT_EQ(RussianNoteName(NoteName(m - 48)), expected[m]) << m;
    }
    EXPECT_EQ(RussianNoteName(""), "");
}

TEST(TuningStateTest, MarkersAtRangeOne) {
    const std::vector<Marker> markers = MarkersFor(12, 1);
    ASSERT_EQ(markers.size(), 3u);
    EXPECT_NEAR(markers[0].Position, 1084.8902, 5e-5);
    EXPECT_EQ(markers[1].Position, 1024.0);
    EXPECT_NEAR(markers[2].Position, 966.5273, 5e-5);
    const char* lower[3] = {"A#4", "A4", "G#4"};
    const char* upper[3] = {"A#5", "A5", "G#5"};
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(markers[k].Note, 13 - static_cast<int32_t>(k));
        EXPECT_EQ(markers[k].LowerLabel, lower[k]);
        EXPECT_EQ(markers[k].UpperLabel, upper[k]);
        EXPECT_EQ(markers[k].Sharp, k != 1);
    }
}

TEST(TuningStateTest, MarkersAtRangeTen) {
    const std::vector<Marker> markers = MarkersFor(12, 10);
    ASSERT_EQ(markers.size(), 21u);
    // Ascending i: the right edge (G5) first, the left edge (B3) last.
    EXPECT_EQ(markers.front().LowerLabel, "G5");
    EXPECT_EQ(markers.front().UpperLabel, "G6");
    EXPECT_NEAR(markers.front().Position, 1824.5606, 5e-5);
    EXPECT_EQ(markers[10].LowerLabel, "A4");
    EXPECT_EQ(markers[10].UpperLabel, "A5");
    EXPECT_EQ(markers.back().LowerLabel, "B3");
    EXPECT_EQ(markers.back().UpperLabel, "B4");
    EXPECT_NEAR(markers.back().Position, 574.7006, 5e-5);
    int sharps = 0;
    for (size_t k = 1; k < markers.size(); ++k) {
        EXPECT_LT(markers[k].Position, markers[k - 1].Position);
        sharps += markers[k].Sharp ? 1 : 0;
    }
    EXPECT_EQ(sharps, 8);  // C#, D#, F#, G#, A# of the fourth octave, C#, D#, F# of the fifth

    const std::vector<Marker> low = MarkersFor(-37, 10);
    EXPECT_EQ(low.back().Note, -47);
    EXPECT_EQ(low.back().LowerLabel, "A#-1");
    EXPECT_TRUE(low.back().Sharp);
    EXPECT_TRUE(MarkersFor(12, -1).empty());
}

TEST(TuningStateTest, PianoClicksAndPointer) {
    const struct {
        int32_t FirstX, LastX, NoteShift;
    } clicks[] = {{0, 3, -37}, {4, 10, -36}, {328, 334, 12}, {592, 598, 51}, {599, 599, 52}};
    for (const auto& c : clicks) {
        for (int32_t x = c.FirstX; x <= c.LastX; ++x) {
            EXPECT_EQ(NoteShiftForPianoX(x), c.NoteShift) << x;
        }
        if (c.FirstX > 0) {
            EXPECT_NE(NoteShiftForPianoX(c.FirstX - 1), c.NoteShift) << c.FirstX;
        }
        if (c.LastX < 599) {
            EXPECT_NE(NoteShiftForPianoX(c.LastX + 1), c.NoteShift) << c.LastX;
        }
    }
    EXPECT_EQ(NoteShiftForPianoX(699), 66);
    EXPECT_EQ(NoteShiftForPianoX(std::numeric_limits<int32_t>::min()), -317675133);

    const struct {
        int32_t NoteShift, Left, Top;
    } pointers[] = {{12, 328, 43}, {-36, 4, 43}, {51, 592, 43}, {-37, -3, 20}, {52, 599, 20}};
    for (const auto& p : pointers) {
        const PianoPointer pointer = PianoPointerFor(p.NoteShift);
        EXPECT_EQ(pointer.Left, p.Left) << p.NoteShift;
        EXPECT_EQ(pointer.Top, p.Top) << p.NoteShift;
    }
    // The pointer's left edge lies at, or one pixel before, the first column selecting its note.
    for (int32_t note = -36; note <= 52; ++note) {
        int32_t first = 0;
        while (NoteShiftForPianoX(first) < note) {
            ++first;
        }
        const int32_t left = PianoPointerFor(note).Left;
        EXPECT_TRUE(left == first || left == first - 1) << note;
    }
}

TEST(TuningStateTest, OperationsTestTheirLimits) {
    TuningState state;
    EXPECT_EQ(state.NoteShift, 12);
    EXPECT_EQ(state.ViewRange, 10);
    state.WheelStep(120);
    EXPECT_EQ(state.ViewRange, 10);
    state.WheelStep(-1200);  // one step whatever the delta
    EXPECT_EQ(state.ViewRange, 9);
    state.ViewRange = 1;
    state.WheelStep(0);
    EXPECT_EQ(state.ViewRange, 1);
    state.WheelStep(1);
    EXPECT_EQ(state.ViewRange, 2);

    state.NoteShift = -35;
    state.StepDown();
    EXPECT_EQ(state.NoteShift, -36);
    state.StepDown();
    EXPECT_EQ(state.NoteShift, -36);
    state.ClickPiano(2);
    EXPECT_EQ(state.NoteShift, -37);
    state.StepDown();
    EXPECT_EQ(state.NoteShift, -37);
    state.ClickPiano(699);
    EXPECT_EQ(state.NoteShift, 66);
}

}  // namespace
}  // namespace stemora
