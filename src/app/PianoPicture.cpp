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

constexpr int kLowestNote = -36;  // A0
constexpr int kHighestNote = 51;  // C8
constexpr int kWhiteKeyCount = 52;
constexpr int kBlackKeyCount = 36;
constexpr int kMiddleC = 3;  // C4

constexpr int kBlackKeyBottom = 40;  // black keys cover rows 0..39
constexpr int kBlackKeyHalfWidth = 3;
constexpr int kPointerWidth = 3;

bool isBlack(int note) {
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
    std::array<int, kWhiteKeyCount - 1> Separators{};  // column of the line after white key j
    std::array<int, kBlackKeyCount> BlackCentres{};    // middle column of each black key
    int MiddleCCentre = 0;
};

int pointerCentre(int note) {
    return PianoPointerFor(note).Left + kPointerWidth / 2;
}

Geometry computeGeometry() {
    Geometry g;
    int white = 0;
    int black = 0;
    int previousWhite = kLowestNote;  // A0 is white
    for (int note = kLowestNote + 1; note <= kHighestNote; ++note) {
        if (isBlack(note)) {
            g.BlackCentres[static_cast<size_t>(black++)] = pointerCentre(note);
            continue;
        }
        int low = PianoPointerFor(previousWhite).Left + kPointerWidth;
        int high = PianoPointerFor(note).Left - 1;
        if (note - previousWhite == 2) {
            const int centre = pointerCentre(note - 1);
            low = std::max(low, centre - kBlackKeyHalfWidth + 1);
            high = std::min(high, centre + kBlackKeyHalfWidth - 1);
        }
        const int even = (white + 1) * PianoPicture::kPictureWidth / kWhiteKeyCount;
        g.Separators[static_cast<size_t>(white++)] = std::clamp(even, low, high);
        previousWhite = note;
    }
    g.MiddleCCentre = pointerCentre(kMiddleC);
    return g;
}

const Geometry& keyGeometry() {
    static const Geometry geometry = computeGeometry();
    return geometry;
}

// Ivory keys, near-black sharps, a felt strip along the top edge.
const QColor kWhiteTop(0xfb, 0xfa, 0xf6);
const QColor kWhiteBottom(0xea, 0xe7, 0xde);
const QColor kWhiteFront(0xc4, 0xbf, 0xb3);
const QColor kSeparator(0x70, 0x6c, 0x64);
const QColor kBlackBody(0x10, 0x10, 0x10);
const QColor kBlackFaceTop(0x2c, 0x2c, 0x2c);
const QColor kBlackFaceBottom(0x1a, 0x1a, 0x1a);
const QColor kBlackFront(0x48, 0x48, 0x48);
const QColor kBlackShadow(0xcf, 0xcb, 0xc1);
const QColor kFelt(0x5a, 0x1c, 0x1c);
const QColor kMiddleCMark(0x38, 0x38, 0x38);

// Gradient brushes built once, so a repaint (the pointer moving over the picture) allocates
// nothing.
struct GradientBrushes {
    QBrush Ivory;
    QBrush BlackFace;
};

QBrush verticalGradient(int height, const QColor& top, const QColor& bottom) {
    QLinearGradient gradient(0, 0, 0, height);
    gradient.setColorAt(0.0, top);
    gradient.setColorAt(1.0, bottom);
    return QBrush(gradient);
}

const GradientBrushes& brushes() {
    static const GradientBrushes brushes{
        verticalGradient(PianoPicture::kPictureHeight, kWhiteTop, kWhiteBottom),
        verticalGradient(kBlackKeyBottom - 4, kBlackFaceTop, kBlackFaceBottom)};
    return brushes;
}

}  // namespace

PianoPicture::PianoPicture(QWidget* parent) : QWidget(parent) {
    // Fixed: the pointer rule is in picture pixels, so the picture must never be stretched.
    setFixedSize(kPictureWidth, kPictureHeight);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PianoPicture::paintEvent(QPaintEvent* /*event*/) {
    const Geometry& g = keyGeometry();
    QPainter painter(this);
    constexpr int w = kPictureWidth;
    constexpr int h = kPictureHeight;

    // White keys: one vertical gradient under everything, a darker front lip on the last row.
    painter.fillRect(0, 0, w, h - 1, brushes().Ivory);
    painter.fillRect(0, h - 1, w, 1, kWhiteFront);

    // Separators over the full height (hidden under black keys where one sits), plus both ends.
    painter.fillRect(0, 0, 1, h, kSeparator);
    painter.fillRect(w - 1, 0, 1, h, kSeparator);
    for (const int column : g.Separators) {
        painter.fillRect(column, 0, 1, h, kSeparator);
    }

    // Black keys: a body, a slightly lighter face and a front bevel, with a soft shadow on the
    // white key to the right and below.
    const QBrush& face = brushes().BlackFace;
    for (const int centre : g.BlackCentres) {
        const int left = centre - kBlackKeyHalfWidth;
        const int width = 2 * kBlackKeyHalfWidth + 1;
        painter.fillRect(left + width, 2, 1, kBlackKeyBottom - 1, kBlackShadow);
        painter.fillRect(left + 1, kBlackKeyBottom, width, 1, kBlackShadow);
        painter.fillRect(left, 0, width, kBlackKeyBottom, kBlackBody);
        painter.fillRect(left + 1, 0, width - 2, kBlackKeyBottom - 4, face);
        painter.fillRect(left + 1, kBlackKeyBottom - 4, width - 2, 3, kBlackFront);
    }

    // Felt strip along the top edge, where the keys disappear under the case.
    painter.fillRect(0, 0, w, 2, kFelt);

    // Middle C: a small mark at the foot of C4, just below where its pointer ends (row 58).
    painter.fillRect(g.MiddleCCentre - 1, h - 4, 3, 3, kMiddleCMark);
}

void PianoPicture::mouseReleaseEvent(QMouseEvent* event) {
    emit MouseReleased(event->button(), event->modifiers(), event->position().toPoint());
}

}  // namespace stemora
