// The main window, driven as a user would: controls found by objectName, real mouse and wheel
// events, the simulated sound device and a stand-in output-device check.

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QSignalSpy>
#include <QWheelEvent>
#include <QtTest>
#include <atomic>
#include <cmath>
#include <memory>

#include "app/TunerForm.h"
#include "capture/SimulatedSound.h"

namespace stemora {
namespace {

// Answers the output-device check as told and counts the releases.
class StubDeviceCheck final : public IDeviceCheck {
  public:
    bool QueryAnswer = true;
    bool OpenAnswer = true;
    std::atomic<int> Opens{0};
    std::atomic<int> Closes{0};

    bool Query() override { return QueryAnswer; }
    bool Open() override {
        if (OpenAnswer) {
            ++Opens;
        }
        return OpenAnswer;
    }
    void Close() noexcept override { ++Closes; }
};

constexpr PackedColour pack(int r, int g, int b) {
    return static_cast<PackedColour>(r + 256 * g + 65536 * b);
}

QString u(const char* text) {
    return QString::fromUtf8(text);
}

}  // namespace

class TunerFormTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<SimulatedSoundBackend> backend_;
    std::unique_ptr<StubDeviceCheck> check_;
    std::unique_ptr<TTunerForm> form_;

    TTunerForm& makeForm() {
        form_.reset();
        backend_ = std::make_unique<SimulatedSoundBackend>();
        check_ = std::make_unique<StubDeviceCheck>();
        form_ = std::make_unique<TTunerForm>(*backend_, *check_);
        return *form_;
    }

    TTunerForm& shownForm() {
        TTunerForm& form = makeForm();
        form.show();
        return form;
    }

    // The window shown on a real-time 440 Hz sine of amplitude 10000 in 16-bit sound.
    TTunerForm& shownOnTone() {
        TTunerForm& form = makeForm();
        backend_->AcceptFormats([](const WaveFormat& f) { return f.wBitsPerSample == 16; });
        backend_->SetSource(SimulatedSource::Tone(440.0, 10000.0 / 32768.0));
        backend_->StartRealTime();
        form.show();
        return form;
    }

    template <typename T>
    T* child(const char* name) {
        T* found = form_->findChild<T*>(QString::fromUtf8(name));
        if (found == nullptr) {
            qFatal("no child %s", name);
        }
        return found;
    }

    QString caption(const char* label) { return child<QLabel>(label)->text(); }

    // A press and release on the piano picture; the release may fall outside it.
    void clickPiano(int pressX, int releaseX, Qt::MouseButton button = Qt::LeftButton) {
        auto* piano = child<PianoPicture>("ImagePiano");
        QTest::mousePress(piano, button, {}, QPoint(pressX, 50));
        QTest::mouseRelease(piano, button, {}, QPoint(releaseX, 50));
    }

    // One wheel message at the centre of `target`, delivered as the platform would: to the
    // widget under the pointer, passed up while nobody takes it.
    void wheel(QWidget* target, QPoint angleDelta) {
        const QPointF local = QRectF(target->rect()).center();
        QWheelEvent event(local, target->mapToGlobal(local), QPoint(), angleDelta, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(target, &event);
    }

    // Waits for the capture thread's queued label requests and a few ticks.
    static void settle(int ms) { QTest::qWait(ms); }

  private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }
    void cleanup() {
        form_.reset();
        backend_.reset();
        check_.reset();
    }

    // ------------------------------------------------------------------------------------------
    // Layout and initial state

    void windowHasItsControlsCaptionAndSize() {
        TTunerForm& form = makeForm();
        QCOMPARE(form.objectName(), u("TunerForm"));
        QCOMPARE(form.windowTitle(), u("  Corvale+ Тюнер"));
        QCOMPARE(form.size(), QSize(600, 573));
        QCOMPARE(form.minimumHeight(), 573);
        QCOMPARE(form.maximumHeight(), 573);
        QCOMPARE(form.minimumWidth(), 600);
        QVERIFY(!form.windowIcon().isNull());
        QCOMPARE(TunerForm, nullptr);  // the program sets it, not the window

        struct Place {
            const char* Name;
            QRect Geometry;
        };
        form.show();
        const Place places[] = {
            {"ChartSpecHi", {0, 0, 600, 222}}, {"Chart1", {0, 222, 600, 27}},
            {"ChartSpec", {0, 249, 600, 222}}, {"PanelDown", {0, 471, 600, 39}},
            {"PanelTop", {0, 510, 600, 63}},   {"ImagePiano", {0, 0, 600, 63}},
        };
        for (const Place& place : places) {
            QCOMPARE(child<QWidget>(place.Name)->geometry(), place.Geometry);
        }
        QCOMPARE(child<QFrame>("PanelPianoPoint")->size(), QSize(3, 16));
        for (const char* name : {"PanelTop", "PanelDown", "LabelSoundMode", "LabelNotev",
                                 "LabelRangef", "LabelRangeValue", "LabelNoteValue",
                                 "LabelCenterFrq", "LabelRusName", "LabelCenterFFT", "LabelAmp"}) {
            QVERIFY2(form.findChild<QWidget*>(QString::fromUtf8(name)) != nullptr, name);
        }
        QCOMPARE(child<QObject>("BarSeries")->property("title").toString(), u("SeriesPiano"));
        QVERIFY(qobject_cast<LineSeries*>(child<QObject>("SeriesPointer")));
        QVERIFY(qobject_cast<LineSeries*>(child<QObject>("SeriesPointerHi")));
        QVERIFY(qobject_cast<FastLineSeries*>(child<QObject>("SeriesSpec")));
        QVERIFY(qobject_cast<FastLineSeries*>(child<QObject>("SeriesSpecHi")));
        QCOMPARE(child<FastLineSeries>("SeriesSpec")->SeriesColor(), pack(0, 128, 0));
        QCOMPARE(child<LineSeries>("SeriesPointer")->SeriesColor(), pack(255, 0, 0));
        QCOMPARE(form.ChartSpecHi->children().indexOf(form.SeriesPointerHi) <
                     form.ChartSpecHi->children().indexOf(form.SeriesSpecHi),
                 true);
    }

    void startsHiddenWithTimersOffAndInitialCaptions() {
        TTunerForm& form = makeForm();
        QVERIFY(!form.isVisible());
        QVERIFY(!form.Timer1->isActive());
        QVERIFY(!form.Timer2->isActive());
        QCOMPARE(form.Timer1->interval(), 1000);
        QCOMPARE(form.Timer2->interval(), 63);
        QCOMPARE(form.DecimationRate(), 0.0);
        QVERIFY(form.LabelSoundMode->isHidden());
        QCOMPARE(caption("LabelSoundMode"), u("Звуковое устройство не поддерживается"));
        QCOMPARE(caption("LabelNotev"), u("Нота"));
        QCOMPARE(caption("LabelNoteValue"), u("A3"));
        QCOMPARE(caption("LabelRusName"), u("0"));
        QCOMPARE(caption("LabelCenterFrq"), u("440"));
        QCOMPARE(caption("LabelRangef"), u("Диапазон"));
        QCOMPARE(caption("LabelRangeValue"), u("1"));
        QCOMPARE(caption("LabelCenterFFT"), u("Отклонение от центральной частоты"));
        QCOMPARE(caption("LabelAmp"), u("Дельта:"));
        QCOMPARE(form.PanelPianoPoint->pos(), QPoint(328, 20));
        QCOMPARE(form.Tuning().NoteShift, 12);
        QCOMPARE(form.Tuning().ViewRange, 10);
        QVERIFY(form.LabelNoteValue->font().bold());
        QVERIFY(form.LabelCenterFrq->font().bold());
        QVERIFY(!form.LabelRusName->font().bold());
        QCOMPARE(form.LabelNoteValue->palette().color(QPalette::WindowText), QColor(Qt::red));
        QCOMPARE(form.font().pixelSize(), 11);
    }

    void widenedWindowStretchesChartsButNotThePiano() {
        TTunerForm& form = shownForm();
        form.resize(900, 700);
        QTest::qWait(20);
        QCOMPARE(form.height(), 573);
        QCOMPARE(form.ChartSpec->width(), 900);
        QCOMPARE(form.Chart1->width(), 900);
        QCOMPARE(form.PanelDown->width(), 900);
        QCOMPARE(form.ImagePiano->geometry(), QRect(0, 0, 600, 63));
        // Right of the picture, nothing is selected and nothing re-applied.
        form.LabelNoteValue->setText(u("x"));
        QTest::mouseClick(form.PanelTop, Qt::LeftButton, {}, QPoint(750, 50));
        QCOMPARE(form.Tuning().NoteShift, 12);
        QCOMPARE(caption("LabelNoteValue"), u("x"));
    }

    // ------------------------------------------------------------------------------------------
    // The piano

    void pianoClick_data() {
        QTest::addColumn<int>("pressX");
        QTest::addColumn<int>("releaseX");
        QTest::addColumn<int>("noteShift");
        QTest::addColumn<QString>("note");
        QTest::addColumn<QString>("russian");
        QTest::addColumn<QString>("frequency");
        QTest::addColumn<QPoint>("pointer");
        QTest::addColumn<double>("rate");
        const double g0 = 880.0 * std::pow(2.0, -37.0 / 12.0);
        const double c8 = 880.0 * std::pow(2.0, 51.0 / 12.0);
        const double cs8 = 880.0 * std::pow(2.0, 52.0 / 12.0);
        const double ds9 = 880.0 * std::pow(2.0, 66.0 / 12.0);
        for (int x : {0, 3}) {
            QTest::addRow("x%d G#0", x) << x << x << -37 << u("G#0") << u("Соль-диез")
                                        << u("25,9565 Гц") << QPoint(-3, 20) << g0;
        }
        for (int x : {4, 10}) {
            QTest::addRow("x%d A0", x)
                << x << x << -36 << u("A0") << u("Ля") << u("27,5000 Гц") << QPoint(4, 43) << 110.0;
        }
        for (int x : {328, 334}) {
            QTest::addRow("x%d A4", x) << x << x << 12 << u("A4") << u("Ля") << u("440,0000 Гц")
                                       << QPoint(328, 43) << 1760.0;
        }
        for (int x : {592, 598}) {
            QTest::addRow("x%d C8", x)
                << x << x << 51 << u("C8") << u("До") << u("4186,0090 Гц") << QPoint(592, 43) << c8;
        }
        QTest::addRow("x599 C#8") << 599 << 599 << 52 << u("C#8") << u("До-диез")
                                  << u("4434,9221 Гц") << QPoint(599, 20) << cs8;
        QTest::addRow("x11 A#0") << 11 << 11 << -35 << u("A#0") << u("Си-бемоль") << u("29,1352 Гц")
                                 << QPoint(11, 20) << 880.0 * std::pow(2.0, -35.0 / 12.0);
        // The picture keeps the mouse from press to release.
        QTest::addRow("press 300 release 699 D#9") << 300 << 699 << 66 << u("D#9") << u("Ре-диез")
                                                   << u("9956,0635 Гц") << QPoint(693, 20) << ds9;
    }

    void pianoClick() {
        QFETCH(int, pressX);
        QFETCH(int, releaseX);
        QFETCH(int, noteShift);
        QFETCH(QString, note);
        QFETCH(QString, russian);
        QFETCH(QString, frequency);
        QFETCH(QPoint, pointer);
        QFETCH(double, rate);
        TTunerForm& form = shownForm();
        clickPiano(pressX, releaseX);
        QCOMPARE(form.Tuning().NoteShift, noteShift);
        QCOMPARE(caption("LabelNoteValue"), note);
        QCOMPARE(caption("LabelRusName"), russian);
        QCOMPARE(caption("LabelCenterFrq"), frequency);
        QCOMPARE(form.PanelPianoPoint->pos(), pointer);
        QVERIFY2(std::abs(form.DecimationRate() - rate) < 1e-9 * rate,
                 qPrintable(QString::number(form.DecimationRate(), 'g', 17)));
    }

    void anyButtonSelectsANote() {
        TTunerForm& form = shownForm();
        clickPiano(5, 5, Qt::RightButton);
        QCOMPARE(form.Tuning().NoteShift, -36);
        clickPiano(330, 330, Qt::MiddleButton);
        QCOMPARE(form.Tuning().NoteShift, 12);
    }

    void decimalTextsFollowTheLocale() {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        TTunerForm& form = shownForm();
        QCOMPARE(caption("LabelCenterFrq"), u("440.0000 Гц"));
        clickPiano(599, 599);
        // Never a group separator.
        QCOMPARE(caption("LabelCenterFrq"), u("4434.9221 Гц"));
        form.Timer2->stop();
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    }

    // ------------------------------------------------------------------------------------------
    // The wheel and the commands

    void wheelStepsTheRangeAnywhereInTheWindow_data() {
        QTest::addColumn<QString>("target");
        for (const char* name : {"ChartSpec", "ChartSpecHi", "Chart1", "ImagePiano", "PanelDown",
                                 "LabelAmp", "TunerForm"}) {
            QTest::newRow(name) << u(name);
        }
    }

    void wheelStepsTheRangeAnywhereInTheWindow() {
        QFETCH(QString, target);
        TTunerForm& form = shownForm();
        QWidget* widget = target == u("TunerForm") ? &form : form.findChild<QWidget*>(target);
        QVERIFY(widget != nullptr);

        // Forward at 10: unchanged, yet re-applied.
        form.LabelNoteValue->setText(u("x"));
        form.SeriesPointer->Clear();
        wheel(widget, {0, 120});
        QCOMPARE(form.Tuning().ViewRange, 10);
        QCOMPARE(caption("LabelNoteValue"), u("A4"));
        QCOMPARE(form.SeriesPointer->Count(), 63);

        wheel(widget, {0, -120});
        QCOMPARE(form.Tuning().ViewRange, 9);
        QCOMPARE(caption("LabelRangeValue"), u("9"));
        QCOMPARE(form.SeriesPointer->Count(), 3 * 19);
        QCOMPARE(form.BarSeries->Count(), 2 * 19);
        // Each message is one step, whatever its size.
        wheel(widget, {0, -15});
        QCOMPARE(form.Tuning().ViewRange, 8);
        for (int i = 0; i < 10; ++i) {
            wheel(widget, {0, -360});
        }
        QCOMPARE(form.Tuning().ViewRange, 1);
        form.LabelRangeValue->setText(u("x"));
        wheel(widget, {0, -120});
        QCOMPARE(form.Tuning().ViewRange, 1);
        QCOMPARE(caption("LabelRangeValue"), u("1"));

        // A sideways tilt is no wheel message of this kind: nothing changes, nothing re-applied.
        form.LabelRangeValue->setText(u("x"));
        wheel(widget, {120, 0});
        wheel(widget, {-120, 0});
        QCOMPARE(form.Tuning().ViewRange, 1);
        QCOMPARE(caption("LabelRangeValue"), u("x"));
    }

    void stepDownCommandStopsAtA0() {
        TTunerForm& form = shownForm();
        QAction* left = child<QAction>("ActionLeft");
        QVERIFY(left->shortcuts().isEmpty());
        QVERIFY(left->associatedObjects().isEmpty());
        clickPiano(11, 11);  // A#0, -35
        QCOMPARE(form.Tuning().NoteShift, -35);
        left->trigger();
        QCOMPARE(form.Tuning().NoteShift, -36);
        QCOMPARE(caption("LabelNoteValue"), u("A0"));
        form.LabelNoteValue->setText(u("x"));
        left->trigger();
        QCOMPARE(form.Tuning().NoteShift, -36);
        QCOMPARE(caption("LabelNoteValue"), u("A0"));
        clickPiano(0, 0);
        QCOMPARE(form.Tuning().NoteShift, -37);
        left->trigger();
        QCOMPARE(form.Tuning().NoteShift, -37);

        form.LabelNoteValue->setText(u("x"));
        child<QAction>("EditFrqCenter")->trigger();
        QCOMPARE(caption("LabelNoteValue"), u("G#0"));
    }

    void changesWhileHiddenApplyWhenShown() {
        TTunerForm& form = makeForm();
        form.ActionLeft->trigger();
        QCOMPARE(form.Tuning().NoteShift, 11);
        form.EditFrqCenter->trigger();
        QCOMPARE(caption("LabelNoteValue"), u("A3"));
        QCOMPARE(form.SeriesPointer->Count(), 0);
        QCOMPARE(form.DecimationRate(), 0.0);

        form.show();
        QCOMPARE(caption("LabelNoteValue"), u("G#4"));
        QCOMPARE(caption("LabelRusName"), u("Соль-диез"));
        QCOMPARE(form.PanelPianoPoint->pos(), QPoint(321, 20));
        form.hide();
        form.ActionLeft->trigger();
        QCOMPARE(form.Tuning().NoteShift, 10);
        QCOMPARE(caption("LabelNoteValue"), u("G#4"));
    }

    // ------------------------------------------------------------------------------------------
    // Markers

    void markersAtRangeOne() {
        TTunerForm& form = shownForm();
        for (int i = 0; i < 9; ++i) {
            wheel(&form, {0, -120});
        }
        QCOMPARE(form.Tuning().ViewRange, 1);
        const PackedColour black = 0, grey = pack(80, 80, 80), green = pack(0, 40, 0);
        const double up = 1024.0 * std::pow(2.0, 1.0 / 12.0);
        const double down = 1024.0 / std::pow(2.0, 1.0 / 12.0);
        struct Expected {
            double X, Y;
            PackedColour Colour;
        };
        // Ascending x: G#4 (i = 1), A4 (centre), A#4 (i = -1).
        const Expected lines[] = {{down, 0, black}, {down, 100, black}, {down, 0, green},
                                  {1024, 0, black}, {1024, 100, grey},  {1024, 0, grey},
                                  {up, 0, black},   {up, 100, black},   {up, 0, green}};
        for (LineSeries* series : {form.SeriesPointer, form.SeriesPointerHi}) {
            QCOMPARE(series->Count(), 9);
            for (int i = 0; i < 9; ++i) {
                const ChartPoint& p = series->Point(i);
                QVERIFY2(std::abs(p.X - lines[i].X) < 1e-9, qPrintable(QString::number(i)));
                QCOMPARE(p.Y, lines[i].Y);
                QCOMPARE(p.Colour, lines[i].Colour);
                QVERIFY(p.Label.isEmpty());
            }
        }
        struct Bar {
            double X, Y;
            const char* Label;
            PackedColour Colour;
        };
        const PackedColour dark = pack(50, 50, 50), light = pack(180, 180, 180);
        const Bar bars[] = {{down, 0, "G#4", dark}, {down, 50, "G#5", dark},
                            {1024, 0, "A4", light}, {1024, 50, "A5", light},
                            {up, 0, "A#4", dark},   {up, 50, "A#5", dark}};
        QCOMPARE(form.BarSeries->Count(), 6);
        for (int i = 0; i < 6; ++i) {
            const ChartPoint& p = form.BarSeries->Point(i);
            QVERIFY(std::abs(p.X - bars[i].X) < 1e-9);
            QCOMPARE(p.Y, bars[i].Y);
            QCOMPARE(p.Label, u(bars[i].Label));
            QCOMPARE(p.Colour, bars[i].Colour);
        }
        for (ChartWidget* chart : {form.ChartSpec, form.ChartSpecHi, form.Chart1}) {
            QVERIFY(std::abs(chart->BottomMinimum() - 966.5273) < 1e-4);
            QVERIFY(std::abs(chart->BottomMaximum() - 1084.8902) < 1e-4);
        }
        QCOMPARE(form.BarSeries->BarWidth(), 100);
    }

    void markersAtRangeTen() {
        TTunerForm& form = shownForm();
        QCOMPARE(form.SeriesPointer->Count(), 63);
        QCOMPARE(form.SeriesPointerHi->Count(), 63);
        QCOMPARE(form.BarSeries->Count(), 42);
        QCOMPARE(form.BarSeries->BarWidth(), 14);
        // Lower labels from B3 at the left through A4 to G5; upper labels an octave higher.
        QCOMPARE(form.BarSeries->Point(0).Label, u("B3"));
        QCOMPARE(form.BarSeries->Point(1).Label, u("B4"));
        QCOMPARE(form.BarSeries->Point(20).Label, u("A4"));
        QCOMPARE(form.BarSeries->Point(41).Label, u("G6"));
        int centres = 0;
        for (int i = 1; i < 63; i += 3) {
            const ChartPoint& top = form.SeriesPointer->Point(i);
            QCOMPARE(top.Y, 100.0);
            if (top.X == 1024.0) {
                ++centres;
                QCOMPARE(top.Colour, pack(80, 80, 80));
            } else {
                QCOMPARE(top.Colour, PackedColour{0});
                QCOMPARE(form.SeriesPointer->Point(i + 1).Colour, pack(0, 40, 0));
            }
        }
        QCOMPARE(centres, 1);
        // 21 marker lines, 30 pixels apart, the centre one in the middle.
        QCOMPARE(form.ChartSpec->XToPixel(1024.0), 300);
        QCOMPARE(form.ChartSpec->XToPixel(form.SeriesPointer->Point(0).X), 0);
    }

    // ------------------------------------------------------------------------------------------
    // Capture and display

    void silenceShowsNoSpectrum() {
        makeForm();
        backend_->SetSource(SimulatedSource::Silence());
        backend_->StartRealTime();
        TTunerForm& form = *form_;
        form.show();
        QVERIFY(form.Timer1->isActive());
        QVERIFY(form.Timer2->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(caption("LabelCenterFFT"),
                                  u("Отклонение от центральной частоты:    -1024    -1024"), 3000);
        QCOMPARE(caption("LabelAmp"), u("Дельта:   1,00"));
        QCOMPARE(form.SeriesSpec->Count(), 0);
        QCOMPARE(form.SeriesSpecHi->Count(), 0);
    }

    void toneDrivesLabelsColoursAndSpectrum() {
        TTunerForm& form = shownOnTone();
        // The display reads the older half of each block: about 1.2 s behind at A4.
        QTRY_VERIFY_WITH_TIMEOUT(
            caption("LabelCenterFFT").startsWith(u("Отклонение от центральной частоты:    0    ")),
            5000);
        QTRY_COMPARE_WITH_TIMEOUT(form.SeriesSpec->Count(), 1247, 2000);
        QVERIFY(caption("LabelAmp").startsWith(u("Дельта:   ")));
        QVERIFY(caption("LabelAmp").contains(u(",")));
        QVERIFY(form.SeriesSpec->SeriesColor() != pack(0, 128, 0));
        QCOMPARE(form.SeriesSpec->SeriesColor(), form.Analyser().Result().SpecColour);
        // A pure tone has no octave: the upper spectrum stays empty.
        QCOMPARE(form.SeriesSpecHi->Count(), 0);

        // The highest lit column of the drawn spectrum is the chart's centre.
        form.Timer2->stop();
        const QImage image = form.ChartSpec->grab().toImage();
        const QColor line = ToQColor(form.SeriesSpec->SeriesColor());
        int peakColumn = -1;
        for (int y = 0; y < image.height() && peakColumn < 0; ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (image.pixelColor(x, y) == line) {
                    peakColumn = x;
                    break;
                }
            }
        }
        QVERIFY2(std::abs(peakColumn - 300) <= 1, qPrintable(QString::number(peakColumn)));
    }

    // A new note while the tone plays: no tick from the click on shows the old note's sound as
    // the new note in tune. The display shows silence until sound at the new rate reaches the
    // analysed half of the block (about 6 s at E2).
    void noteChangeNeverShowsTheOldSoundAsInTune() {
        TTunerForm& form = shownOnTone();
        const QString inTune = u("Отклонение от центральной частоты:    0    ");
        QTRY_VERIFY_WITH_TIMEOUT(caption("LabelCenterFFT").startsWith(inTune), 5000);
        QStringList ticks;
        connect(form.Timer2, &QTimer::timeout, &form,
                [&] { ticks.append(caption("LabelCenterFFT")); });
        clickPiano(136, 136);
        QCOMPARE(caption("LabelNoteValue"), u("E2"));
        // At once, not a tick later: the old spectrum is gone from the chart.
        QCOMPARE(form.SeriesSpec->Count(), 0);
        QVERIFY2(!caption("LabelCenterFFT").startsWith(inTune),
                 qPrintable(caption("LabelCenterFFT")));
        settle(3000);
        QVERIFY(ticks.size() > 30);
        for (const QString& tick : ticks) {
            QVERIFY2(!tick.startsWith(inTune), qPrintable(tick));
        }
        form_.reset();
        backend_->StopRealTime();
    }

    void soundModeRequestsArriveOnTheWindowThread() {
        makeForm();
        TTunerForm& form = *form_;
        form.show();
        form.Timer1->stop();
        // The capture thread never touches the label: its requests wait for the event loop.
        QTest::qSleep(200);
        QVERIFY(form.LabelSoundMode->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(form.LabelSoundMode->isVisible(), 2000);
        QCOMPARE(caption("LabelSoundMode"), u("---"));
    }

    void formatText_data() {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("channels");
        QTest::addColumn<QString>("text");
        QTest::newRow("44100/16/2") << 44100 << 16 << 2 << u("44 кГц,  16 бит,  каналов 2");
        QTest::newRow("96000/32/2") << 96000 << 32 << 2 << u("96 кГц,  32 бит,  каналов 2");
        QTest::newRow("48000/24/1") << 48000 << 24 << 1 << u("48 кГц,  24 бит,  каналов 1");
    }

    void formatText() {
        QFETCH(int, rate);
        QFETCH(int, bits);
        QFETCH(int, channels);
        QFETCH(QString, text);
        makeForm();
        backend_->AcceptFormats([=](const WaveFormat& f) {
            return static_cast<int>(f.nSamplesPerSec) == rate && f.wBitsPerSample == bits &&
                   f.nChannels == channels;
        });
        // Fewer than seven formats, all of one kind: the scan still finds it.
        backend_->StartRealTime();
        form_->show();
        QVERIFY(form_->TunerThread() != nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(caption("LabelSoundMode"), text, 2500);
        QVERIFY(form_->LabelSoundMode->isVisible());
    }

    // The capture device lost and back: the loss caption in place of the format text, no error
    // box, and the format text again once capture has resumed on its own.
    void lostDeviceCaptionAndReturn() {
        makeForm();
        backend_->StartRealTime();
        form_->show();
        const QString format = u("96 кГц,  32 бит,  каналов 2");
        QTRY_COMPARE_WITH_TIMEOUT(caption("LabelSoundMode"), format, 2500);
        backend_->LoseDevice();
        QTRY_COMPARE_WITH_TIMEOUT(caption("LabelSoundMode"), u("Звуковое устройство недоступно"),
                                  1000);
        // Timer1's next ticks keep it: the device is still away.
        settle(1200);
        QCOMPARE(caption("LabelSoundMode"), u("Звуковое устройство недоступно"));
        QVERIFY(form_->TunerThread()->DeviceLost());
        backend_->RestoreDevice();
        QTRY_COMPARE_WITH_TIMEOUT(caption("LabelSoundMode"), format, 2500);
        QCOMPARE(form_->TunerThread()->Recoveries(), 1);
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        form_.reset();
        backend_->StopRealTime();
    }

    // ------------------------------------------------------------------------------------------
    // Device check, capture failures, hiding

    void failedDeviceCheckLeavesTheWindowInert_data() {
        QTest::addColumn<bool>("query");
        QTest::newRow("query refused") << false;
        QTest::newRow("open refused") << true;
    }

    void failedDeviceCheckLeavesTheWindowInert() {
        QFETCH(bool, query);
        makeForm();
        check_->QueryAnswer = query;
        check_->OpenAnswer = false;
        TTunerForm& form = *form_;
        form.show();
        QTest::qWait(100);
        QVERIFY(form.TunerThread() == nullptr);
        QVERIFY(!form.Timer1->isActive());
        QVERIFY(!form.Timer2->isActive());
        QVERIFY(form.LabelSoundMode->isVisible());
        QCOMPARE(caption("LabelSoundMode"), u("Звуковое устройство не поддерживается"));
        QCOMPARE(caption("LabelNoteValue"), u("A3"));
        QCOMPARE(caption("LabelCenterFrq"), u("440"));
        QCOMPARE(form.SeriesPointer->Count(), 0);
        QCOMPARE(form.PanelPianoPoint->pos(), QPoint(328, 20));
        // Clicks and the wheel still apply the state.
        clickPiano(5, 5);
        QCOMPARE(caption("LabelNoteValue"), u("A0"));
        wheel(form.ChartSpec, {0, -120});
        QCOMPARE(caption("LabelRangeValue"), u("9"));
        form.hide();
        QCOMPARE(check_->Closes.load(), 0);
    }

    void captureThreadFailureShowsTheErrorBox() {
        makeForm();
        backend_->Fail(SimulatedOperation::OpenLibrary);
        TTunerForm& form = *form_;
        QString boxTitle;
        QString boxText;
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxTitle = box->windowTitle();
                boxText = box->text();
                box->accept();
            }
        });
        closer.start(20);
        form.show();
        QTRY_VERIFY_WITH_TIMEOUT(!boxText.isEmpty(), 3000);
        QCOMPARE(boxTitle, u("Stemora"));
        QCOMPARE(boxText, u("Necessary since DirectX5"));
        QVERIFY(form.TunerThread() == nullptr);
        QVERIFY(!form.Timer1->isActive());
        QVERIFY(!form.Timer2->isActive());
        QVERIFY(form.LabelSoundMode->isHidden());
        QCOMPARE(caption("LabelNoteValue"), u("A3"));
        // The check's device is not left open for the rest of the run.
        QCOMPARE(check_->Opens.load(), 1);
        QCOMPARE(check_->Closes.load(), 1);
        QVERIFY(form.isVisible());
    }

    void hidingStopsTimersAndTheThread() {
        makeForm();
        backend_->StartRealTime();
        TTunerForm& form = *form_;
        form.show();
        QVERIFY(form.TunerThread() != nullptr);
        QTest::qWait(150);
        form.close();
        QVERIFY(!form.Timer1->isActive());
        QVERIFY(!form.Timer2->isActive());
        QVERIFY(form.TunerThread() == nullptr);
        QVERIFY(form.WaitForCaptureThreads(std::chrono::seconds(2)));
        QCOMPARE(check_->Closes.load(), 1);
        QCOMPARE(backend_->GetCounters().BuffersLive, 0);
        // Shown again: a new check, a new thread, the state as it was.
        form.show();
        QVERIFY(form.TunerThread() != nullptr);
        QCOMPARE(check_->Opens.load(), 2);
        QCOMPARE(caption("LabelNoteValue"), u("A4"));
    }

    void timer2DoesNothingWithoutThreadOrWhenOff() {
        TTunerForm& form = shownForm();
        form.Timer2->stop();
        form.LabelCenterFFT->setText(u("x"));
        form.Timer2Timer();
        QCOMPARE(caption("LabelCenterFFT"), u("x"));
        form.close();
        form.Timer2Timer();
        form.Timer1Timer();
        QCOMPARE(caption("LabelCenterFFT"), u("x"));
    }

    // ------------------------------------------------------------------------------------------
    // Rendering

    void longestCaptionsDoNotOverlap() {
        TTunerForm& form = shownForm();
        form.Timer1->stop();
        form.Timer2->stop();
        form.LabelSoundMode->show();
        const struct {
            QLabel* Label;
            const char* Text;
        } longest[] = {
            {form.LabelSoundMode, "Звуковое устройство не поддерживается"},
            {form.LabelCenterFFT, "Отклонение от центральной частоты:    -1024    -1024"},
            {form.LabelCenterFrq, "4434,9221 Гц"},
            {form.LabelRusName, "Соль-диез"},
            {form.LabelNoteValue, "G#0"},
            {form.LabelAmp, "Дельта:   99999,99"},
            {form.LabelRangeValue, "10"},
        };
        for (const auto& entry : longest) {
            entry.Label->setText(u(entry.Text));
            entry.Label->adjustSize();
        }
        const QList<QLabel*> labels = form.PanelDown->findChildren<QLabel*>();
        QCOMPARE(labels.size(), 9);
        for (QLabel* a : labels) {
            const QFontMetrics metrics(a->font());
            const QRect inked(a->pos(),
                              QSize(metrics.horizontalAdvance(a->text()), metrics.height()));
            QVERIFY2(inked.right() < form.PanelDown->width(), qPrintable(a->objectName()));
            for (QLabel* b : labels) {
                if (a == b) {
                    continue;
                }
                const QFontMetrics other(b->font());
                const QRect inkedB(b->pos(),
                                   QSize(other.horizontalAdvance(b->text()), other.height()));
                QVERIFY2(!inked.intersects(inkedB),
                         qPrintable(a->objectName() + u(" / ") + b->objectName()));
            }
        }
    }

    void rendersAtDoubleDevicePixelRatio() {
        makeForm();
        backend_->SetSource(SimulatedSource::Tone(440.0, 0.5));
        backend_->StartRealTime();
        TTunerForm& form = *form_;
        form.show();
        QTRY_COMPARE_WITH_TIMEOUT(form.SeriesSpec->Count(), 1247, 5000);
        QImage image(form.size() * 2, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(2.0);
        image.fill(Qt::white);
        form.render(&image);
        // The centre marker and the pointer show in the doubled picture too.
        QCOMPARE(image.pixelColor(2 * 300, 2 * 100), QColor(80, 80, 80));
        QCOMPARE(image.pixelColor(2 * 329, 2 * (510 + 50)), QColor(Qt::red));
    }
};

}  // namespace stemora

QTEST_MAIN(stemora::TunerFormTest)
#include "TunerFormTest.moc"
