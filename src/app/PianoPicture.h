#pragma once
// The piano picture under the tuner's labels: an 88-key keyboard, A0 at the left to C8 at the
// right, 600 x 63 pixels, drawn with QPainter at the screen's device pixel ratio.
//
// Geometry, shared with the red pointer that the window places over it: the semitone of note n
// (semitones above A3, A0 = -36, C8 = 51) is centred near column round((n + 37) * 6.76) - 2; 52
// white keys of about 11.5 pixels fill the width; black keys cover the top 40 rows, so a pointer
// on rows 20..35 lies on a black key and one on rows 43..58 on the white part of a white key. A
// small dark mark near the foot of C4 (middle C) helps find the middle.
//
// The picture keeps the mouse from press to release (Qt's implicit grab), so a release far to the
// right of the picture is still reported, with its column beyond 599.

#include <QWidget>

namespace stemora {

class PianoPicture : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kPictureWidth = 600;
    static constexpr int kPictureHeight = 63;

    explicit PianoPicture(QWidget* parent = nullptr);

  signals:
    // A mouse button was released; position in picture pixels.
    void MouseReleased(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint position);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};

}  // namespace stemora
