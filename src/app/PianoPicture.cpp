#include "app/PianoPicture.h"

#include <QBrush>
#include <QColor>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <array>
#include <cstdint>

#include "core/TuningState.h"

namespace stemora {
namespace {

constexpr int LowestNote = -36;  // A0
constexpr int HighestNote = 51;  // C8
constexpr int WhiteKeyCount = 52;
constexpr int BlackKeyCount = 36;
constexpr int MiddleC = 3;  // C4

constexpr int BlackKeyBottom = 40;  // black keys cover rows 0..39
constexpr int BlackKeyHalfWidth = 3;
constexpr int PointerWidth = 3;

bool IsBlack(int note) {
    const int pitchClass = PitchClass(note);
    return pitchClass == 1 || pitchClass == 3 || pitchClass == 6 || pitchClass == 8 ||
           pitchClass == 10;
}

// Key edges derived from the window's pointer rule (PianoPointerFor), so every pointer lands on
// its own key:
// - a black key is 7 columns wide, centred on its pointer's middle column, which leaves two
//   columns of key on each side of the 3-column pointer;
// - the 1-column separator between two neighbouring white keys starts from the even division
//   of the width into 52 keys (floor((j + 1) * 600 / 52) after key j) and is clamped to lie
//   strictly between the two white keys' pointers, and, when a black key sits between them,
//   within the inner 5 columns of that black key so the line disappears under it. The semitone
//   grid (6.76 px) is close enough to the white-key pitch (11.54 px per key, 7 keys per 12
//   semitones) that the clamp moves only three separators, each by one column; the keys stay
//   10 or 11 columns wide.
struct Geometry {
    std::array<int, WhiteKeyCount - 1> Separators{};  // column of the line after white key j
    std::array<int, BlackKeyCount> BlackCentres{};    // middle column of each black key
    int MiddleCCentre = 0;
};

int PointerCentre(int note) {
    return PianoPointerFor(note).Left + PointerWidth / 2;
}

Geometry ComputeGeometry() {
    Geometry g;
    int white = 0;
    int black = 0;
    int previousWhite = LowestNote;  // A0 is white
    for (int note = LowestNote + 1; note <= HighestNote; ++note) {
        if (IsBlack(note)) {
            g.BlackCentres[static_cast<size_t>(black++)] = PointerCentre(note);
            continue;
        }
        int low = PianoPointerFor(previousWhite).Left + PointerWidth;
        int high = PianoPointerFor(note).Left - 1;
        if (note - previousWhite == 2) {
            const int centre = PointerCentre(note - 1);
            low = std::max(low, centre - BlackKeyHalfWidth + 1);
            high = std::min(high, centre + BlackKeyHalfWidth - 1);
        }
        const int even = (white + 1) * PianoPicture::PictureWidth / WhiteKeyCount;
        g.Separators[static_cast<size_t>(white++)] = std::clamp(even, low, high);
        previousWhite = note;
    }
    g.MiddleCCentre = PointerCentre(MiddleC);
    return g;
}

const Geometry& KeyGeometry() {
    static const Geometry geometry = ComputeGeometry();
    return geometry;
}

// Ivory keys, near-black sharps, a felt strip along the top edge.
const QColor WhiteTop(0xfb, 0xfa, 0xf6);
const QColor WhiteBottom(0xea, 0xe7, 0xde);
const QColor WhiteFront(0xc4, 0xbf, 0xb3);
const QColor Separator(0x70, 0x6c, 0x64);
const QColor BlackBody(0x10, 0x10, 0x10);
const QColor BlackFaceTop(0x2c, 0x2c, 0x2c);
const QColor BlackFaceBottom(0x1a, 0x1a, 0x1a);
const QColor BlackFront(0x48, 0x48, 0x48);
const QColor BlackShadow(0xcf, 0xcb, 0xc1);
const QColor Felt(0x5a, 0x1c, 0x1c);
const QColor MiddleCMark(0x38, 0x38, 0x38);

// Gradient brushes built once, so a repaint (the pointer moving over the picture) allocates
// nothing.
struct GradientBrushes {
    QBrush Ivory;
    QBrush BlackFace;
};

QBrush VerticalGradient(int height, const QColor& top, const QColor& bottom) {
    QLinearGradient gradient(0, 0, 0, height);
    gradient.setColorAt(0.0, top);
    gradient.setColorAt(1.0, bottom);
    return QBrush(gradient);
}

const GradientBrushes& Brushes() {
    static const GradientBrushes brushes{
        VerticalGradient(PianoPicture::PictureHeight, WhiteTop, WhiteBottom),
        VerticalGradient(BlackKeyBottom - 4, BlackFaceTop, BlackFaceBottom)};
    return brushes;
}

}  // namespace

PianoPicture::PianoPicture(QWidget* parent) : QWidget(parent) {
    // Fixed: the pointer rule is in picture pixels, so the picture must never be stretched.
    setFixedSize(PictureWidth, PictureHeight);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PianoPicture::paintEvent(QPaintEvent* /*event*/) {
    const Geometry& g = KeyGeometry();
    QPainter painter(this);
    constexpr int w = PictureWidth;
    constexpr int h = PictureHeight;

    // White keys: one vertical gradient under everything, a darker front lip on the last row.
    painter.fillRect(0, 0, w, h - 1, Brushes().Ivory);
    painter.fillRect(0, h - 1, w, 1, WhiteFront);

    // Separators over the full height (hidden under black keys where one sits), plus both ends.
    painter.fillRect(0, 0, 1, h, Separator);
    painter.fillRect(w - 1, 0, 1, h, Separator);
    for (const int column : g.Separators) {
        painter.fillRect(column, 0, 1, h, Separator);
    }

    // Black keys: a body, a slightly lighter face and a front bevel, with a soft shadow on the
    // white key to the right and below.
    const QBrush& face = Brushes().BlackFace;
    for (const int centre : g.BlackCentres) {
        const int left = centre - BlackKeyHalfWidth;
        const int width = 2 * BlackKeyHalfWidth + 1;
        painter.fillRect(left + width, 2, 1, BlackKeyBottom - 1, BlackShadow);
        painter.fillRect(left + 1, BlackKeyBottom, width, 1, BlackShadow);
        painter.fillRect(left, 0, width, BlackKeyBottom, BlackBody);
        painter.fillRect(left + 1, 0, width - 2, BlackKeyBottom - 4, face);
        painter.fillRect(left + 1, BlackKeyBottom - 4, width - 2, 3, BlackFront);
    }

    // Felt strip along the top edge, where the keys disappear under the case.
    painter.fillRect(0, 0, w, 2, Felt);

    // Middle C: a small mark at the foot of C4, just below where its pointer ends (row 58).
    painter.fillRect(g.MiddleCCentre - 1, h - 4, 3, 3, MiddleCMark);
}

void PianoPicture::mouseReleaseEvent(QMouseEvent* event) {
    emit MouseReleased(event->button(), event->modifiers(), event->position().toPoint());
}

}  // namespace stemora
