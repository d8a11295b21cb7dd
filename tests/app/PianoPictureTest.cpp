// The piano picture against the window's pointer rule, its mouse report, and the window icon.

#include <QHBoxLayout>
#include <QIcon>
#include <QImage>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <string>
#include <vector>

#include "app/AppIcon.h"
#include "app/PianoPicture.h"
#include "core/TuningState.h"

namespace stemora {
namespace {

constexpr int kLowestNote = -36;
constexpr int kHighestNote = 51;
constexpr int kMiddleC = 3;
constexpr int kPointerWidth = 3;
constexpr int kPointerHeight = 16;

bool isDark(QRgb pixel) {
    return qGray(pixel) < 80;
}
bool isLight(QRgb pixel) {
    return qGray(pixel) > 190;
}

QImage render(PianoPicture& picture, qreal ratio) {
    QImage image(QSize(PianoPicture::kPictureWidth, PianoPicture::kPictureHeight) * ratio,
                 QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::magenta);
    picture.render(&image);
    return image;
}

// Light runs along one device row; each run is [first, last] column.
std::vector<std::pair<int, int>> lightRuns(const QImage& image, int row) {
    std::vector<std::pair<int, int>> runs;
    for (int x = 0; x < image.width(); ++x) {
        if (!isLight(image.pixel(x, row))) {
            continue;
        }
        if (!runs.empty() && runs.back().second == x - 1) {
            runs.back().second = x;
        } else {
            runs.emplace_back(x, x);
        }
    }
    return runs;
}

}  // namespace

class PianoPictureTest : public QObject {
    Q_OBJECT
  private slots:
    void keepsItsSizeInAWiderParent();
    void everyPointerLiesOnItsOwnKey();
    void fiftyTwoWhiteKeysAlongTheLowerPart();
    void middleCMarkedAtItsFootOnly();
    void crispAtDoubleDevicePixelRatio();
    void releaseReportedWithButtonModifiersAndPosition();
    void releaseBeyondThePictureReachesItThroughTheWindow();
    void iconHoldsEverySize();
};

void PianoPictureTest::keepsItsSizeInAWiderParent() {
    QWidget parent;
    auto* layout = new QHBoxLayout(&parent);
    auto* picture = new PianoPicture;
    layout->addWidget(picture);
    parent.resize(1000, 200);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    QCOMPARE(picture->size(), QSize(600, 63));
}

// For every note A0..C8 the pixels under the window's pointer (clipped to the picture) belong to
// that note's kind of key: near-black for a sharp, ivory for a natural.
void PianoPictureTest::everyPointerLiesOnItsOwnKey() {
    PianoPicture picture;
    const QImage image = render(picture, 1);
    for (int note = kLowestNote; note <= kHighestNote; ++note) {
        const PianoPointer pointer = PianoPointerFor(note);
        const bool sharp = NoteName(note).find('#') != std::string::npos;
        const QRect area = QRect(pointer.Left, pointer.Top, kPointerWidth, kPointerHeight)
                               .intersected(image.rect());
        QVERIFY2(area.width() == kPointerWidth, qPrintable(QString::fromStdString(NoteName(note))));
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                const QRgb pixel = image.pixel(x, y);
                const bool ok = sharp ? isDark(pixel) : isLight(pixel);
                QVERIFY2(ok, qPrintable(QStringLiteral("%1 at (%2, %3): grey %4")
                                            .arg(QString::fromStdString(NoteName(note)))
                                            .arg(x)
                                            .arg(y)
                                            .arg(qGray(pixel))));
            }
        }
    }
}

void PianoPictureTest::fiftyTwoWhiteKeysAlongTheLowerPart() {
    PianoPicture picture;
    const QImage image = render(picture, 1);
    const auto runs = lightRuns(image, 55);
    QCOMPARE(runs.size(), size_t{52});
    // Even keys, as on a real keyboard, and the whole width used.
    for (const auto& [first, last] : runs) {
        const int width = last - first + 1;
        QVERIFY2(width >= 10 && width <= 12, qPrintable(QString::number(first)));
    }
    QVERIFY(runs.front().first <= 2);
    QVERIFY(runs.back().second >= 597);
    // Black keys: 36 dark runs along row 25.
    int darkRuns = 0;
    for (int x = 0; x < image.width(); ++x) {
        if (isDark(image.pixel(x, 25)) && (x == 0 || !isDark(image.pixel(x - 1, 25)))) {
            ++darkRuns;
        }
    }
    QCOMPARE(darkRuns, 36);
}

// A dark mark a few rows tall below the C4 pointer's rows, and none at the other Cs.
void PianoPictureTest::middleCMarkedAtItsFootOnly() {
    PianoPicture picture;
    const QImage image = render(picture, 1);
    const auto markRows = [&](int note) {
        const int centre = PianoPointerFor(note).Left + 1;
        int rows = 0;
        for (int y = 52; y < image.height(); ++y) {
            bool dark = false;
            for (int x = centre - 3; x <= centre + 3; ++x) {
                dark = dark || isDark(image.pixel(x, y));
            }
            rows += dark ? 1 : 0;
        }
        return rows;
    };
    QVERIFY(markRows(kMiddleC) >= 2);
    QVERIFY(markRows(kMiddleC) <= 6);
    for (const int otherC : {-33, -21, -9, 15, 27, 39, 51}) {
        QCOMPARE(markRows(otherC), 0);
    }
}

// Drawn, not scaled: at ratio 2 no column blends two keys' colours (each logical column is two
// equal device columns), key edges fall on even device columns, and every pixel is of the same
// kind as in the ratio-1 render.
void PianoPictureTest::crispAtDoubleDevicePixelRatio() {
    PianoPicture picture;
    const QImage single = render(picture, 1);
    const QImage twice = render(picture, 2);
    QCOMPARE(twice.size(), QSize(1200, 126));
    const auto runs = lightRuns(twice, 110);
    QCOMPARE(runs.size(), size_t{52});
    for (const auto& [first, last] : runs) {
        QVERIFY2(first % 2 == 0 && last % 2 == 1, qPrintable(QString::number(first)));
    }
    for (const int y : {25, 35, 36, 39, 40, 55, 60}) {
        for (int x = 0; x < PianoPicture::kPictureWidth; ++x) {
            const QRgb expected = single.pixel(x, y);
            for (const int dy : {0, 1}) {
                const QRgb left = twice.pixel(2 * x, 2 * y + dy);
                QVERIFY2(left == twice.pixel(2 * x + 1, 2 * y + dy),
                         qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
                // Gradients may step at other device rows; the kind of pixel may not change.
                QCOMPARE(isDark(left), isDark(expected));
                QCOMPARE(isLight(left), isLight(expected));
            }
        }
    }
}

void PianoPictureTest::releaseReportedWithButtonModifiersAndPosition() {
    PianoPicture picture;
    picture.show();
    QVERIFY(QTest::qWaitForWindowExposed(&picture));
    QSignalSpy spy(&picture, &PianoPicture::MouseReleased);

    QTest::mousePress(&picture, Qt::LeftButton, Qt::NoModifier, QPoint(10, 30));
    QCOMPARE(spy.count(), 0);
    QTest::mouseRelease(&picture, Qt::LeftButton, Qt::NoModifier, QPoint(699, 30));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<Qt::MouseButton>(), Qt::LeftButton);
    QCOMPARE(spy.at(0).at(2).toPoint(), QPoint(699, 30));

    QTest::mousePress(&picture, Qt::RightButton, Qt::ShiftModifier, QPoint(300, 50));
    QTest::mouseRelease(&picture, Qt::RightButton, Qt::ShiftModifier, QPoint(300, 50));
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).value<Qt::MouseButton>(), Qt::RightButton);
    QCOMPARE(spy.at(1).at(1).value<Qt::KeyboardModifiers>(),
             Qt::KeyboardModifiers(Qt::ShiftModifier));
    QCOMPARE(spy.at(1).at(2).toPoint(), QPoint(300, 50));
}

// Through the window, as the platform delivers them: the press on the picture grabs the mouse,
// so the release over a sibling to its right still reaches the picture, column beyond 599.
void PianoPictureTest::releaseBeyondThePictureReachesItThroughTheWindow() {
    QWidget window;
    auto* layout = new QHBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* picture = new PianoPicture;
    auto* sibling = new QWidget;
    sibling->setMinimumSize(300, 63);
    layout->addWidget(picture);
    layout->addWidget(sibling);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWindow* handle = window.windowHandle();
    QVERIFY(handle != nullptr);
    QSignalSpy spy(picture, &PianoPicture::MouseReleased);

    const QPoint press = picture->mapTo(&window, QPoint(10, 30));
    const QPoint release = picture->mapTo(&window, QPoint(699, 30));
    QVERIFY(window.childAt(release) == sibling);
    QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, press);
    QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, release);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(2).toPoint(), QPoint(699, 30));
}

void PianoPictureTest::iconHoldsEverySize() {
    const QIcon icon = StemoraIcon();
    QVERIFY(!icon.isNull());
    QList<QSize> sizes = icon.availableSizes();
    std::sort(sizes.begin(), sizes.end(),
              [](const QSize& a, const QSize& b) { return a.width() < b.width(); });
    const QList<QSize> expected{{16, 16}, {24, 24},   {32, 32},  {48, 48},
                                {64, 64}, {128, 128}, {256, 256}};
    QCOMPARE(sizes, expected);
    for (const QSize& size : expected) {
        // Each file is really there and drawn: transparent corners, opaque middle.
        const QImage image = icon.pixmap(size).toImage();
        QCOMPARE(image.size(), size);
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(image.pixel(size.width() / 2, size.height() / 2)), 255);
    }
}

}  // namespace stemora

QTEST_MAIN(stemora::PianoPictureTest)
#include "PianoPictureTest.moc"
