#include "app/TunerForm.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QHideEvent>
#include <QLocale>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <array>
#include <mutex>
#include <thread>
#include <utility>

#include "app/AppIcon.h"
#include "app/ErrorBox.h"

namespace stemora {

TTunerForm* TunerForm = nullptr;

namespace {

// What the display analyses while the blocks hold no sound of the current note.
const std::array<float, kRingLength> kSilentBlock{};

constexpr PackedColour pack(int red, int green, int blue) noexcept {
    return static_cast<PackedColour>(red) + 256u * static_cast<PackedColour>(green) +
           65536u * static_cast<PackedColour>(blue);
}

constexpr PackedColour kBlack = pack(0, 0, 0);
constexpr PackedColour kRed = pack(255, 0, 0);
constexpr PackedColour kGreen = pack(0, 128, 0);
constexpr PackedColour kCentreMarkerColour = pack(80, 80, 80);
constexpr PackedColour kSemitoneLineColour = pack(0, 40, 0);
constexpr PackedColour kSharpKeyColour = pack(50, 50, 50);
constexpr PackedColour kNaturalKeyColour = pack(180, 180, 180);

// Right-axis values of the marker lines and note columns.
constexpr double kAxisBottom = 0.0;
constexpr double kAxisTop = 100.0;
constexpr double kUpperHalf = 50.0;
constexpr double kBarOrigin = 100.0;
constexpr int kMarkArrowLength = -15;

constexpr int kChartHeight = 222;
constexpr int kNoteStripHeight = 27;
constexpr int kPanelDownHeight = 39;
constexpr int kPanelTopHeight = 63;
constexpr QPoint kPianoPointDesignPlace{328, 20};
constexpr QSize kPianoPointSize{3, 16};

// `face` at 11 pixels, then metric-compatible stand-ins, so the layout holds on Linux.
QFont fontWithStandIns(const QString& face) {
    QFont font;
    font.setFamilies({face, QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                      QStringLiteral("DejaVu Sans")});
    font.setPixelSize(11);
    return font;
}

QLabel* makeLabel(QWidget* parent, const char* name, QPoint place, const char* caption) {
    auto* label = new QLabel(QString::fromUtf8(caption), parent);
    label->setObjectName(QString::fromUtf8(name));
    label->move(place);
    label->adjustSize();
    return label;
}

void setTextColour(QLabel* label, const QColor& colour) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

void setBold(QLabel* label) {
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
}

// Caption change of an auto-sized label.
void setCaption(QLabel* label, const QString& caption) {
    label->setText(caption);
    label->adjustSize();
}

ChartWidget* makeChart(QWidget* parent, const char* name) {
    auto* chart = new ChartWidget(parent);
    chart->setObjectName(QString::fromUtf8(name));
    return chart;
}

// A spectrum chart: the marker lines against the right axis first, the spectrum over them.
ChartWidget* makeSpectrumChart(QWidget* parent, const char* name, const char* pointerName,
                               const char* spectrumName, LineSeries*& pointer,
                               FastLineSeries*& spectrum) {
    ChartWidget* chart = makeChart(parent, name);
    chart->setFixedHeight(kChartHeight);
    pointer = chart->AddLineSeries(QString::fromUtf8(pointerName), VerticalAxis::Right, kRed);
    spectrum =
        chart->AddFastLineSeries(QString::fromUtf8(spectrumName), VerticalAxis::Left, kGreen);
    return chart;
}

}  // namespace

TTunerForm::TTunerForm(ISoundBackend& backend, IDeviceCheck& deviceCheck, QWidget* parent)
    : QWidget(parent), backend_(backend), deviceCheck_(deviceCheck) {
    buildControls();
    FormCreate();
}

TTunerForm::~TTunerForm() {
    Timer1->stop();
    Timer2->stop();
    if (tunerThread_) {
        tunerThread_->RequestStop();
        stoppingThreads_.push_back(std::move(tunerThread_));
    }
    // Joined here, before any widget goes, so no request of theirs can reach a dead label.
    stoppingThreads_.clear();
    if (TunerForm == this) {
        TunerForm = nullptr;
    }
}

void TTunerForm::buildControls() {
    setObjectName(QStringLiteral("TunerForm"));
    setWindowTitle(QString::fromUtf8("  Corvale+ Тюнер"));
    setWindowIcon(StemoraIcon());
    setFont(fontWithStandIns(QStringLiteral("MS Sans Serif")));
    // The face takes the platform's button-face colour.
    QPalette face = palette();
    face.setColor(QPalette::Window, face.color(QPalette::Button));
    setPalette(face);
    setAutoFillBackground(true);

    PanelTop = new QWidget(this);
    PanelTop->setObjectName(QStringLiteral("PanelTop"));
    PanelTop->setFixedHeight(kPanelTopHeight);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(kTimer1Interval);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setInterval(kTimer2Interval);
    // Every 63 ms, not within Qt's coarse 5 % slack. As with window-message timers, a tick that
    // comes due while the window is busy is not repeated.
    Timer2->setTimerType(Qt::PreciseTimer);

    ImagePiano = new PianoPicture(PanelTop);
    ImagePiano->setObjectName(QStringLiteral("ImagePiano"));
    ImagePiano->move(0, 0);

    PanelPianoPoint = new QFrame(PanelTop);
    PanelPianoPoint->setObjectName(QStringLiteral("PanelPianoPoint"));
    PanelPianoPoint->setFrameStyle(QFrame::NoFrame);
    PanelPianoPoint->setGeometry(QRect(kPianoPointDesignPlace, kPianoPointSize));
    QPalette pointer = PanelPianoPoint->palette();
    pointer.setColor(QPalette::Window, Qt::red);
    PanelPianoPoint->setPalette(pointer);
    PanelPianoPoint->setAutoFillBackground(true);
    PanelPianoPoint->raise();

    Chart1 = makeChart(this, "Chart1");
    Chart1->setMinimumHeight(kNoteStripHeight);
    BarSeries =
        Chart1->AddBarSeries(QStringLiteral("BarSeries"), VerticalAxis::Right, kBlack, kBarOrigin);
    BarSeries->setProperty("title", QStringLiteral("SeriesPiano"));
    BarSeries->SetArrowLength(kMarkArrowLength);
    BarSeries->SetMarkFont(fontWithStandIns(QStringLiteral("Arial")));
    BarSeries->SetMarkColour(palette().color(QPalette::ToolTipBase));

    PanelDown = new QFrame(this);
    PanelDown->setObjectName(QStringLiteral("PanelDown"));
    PanelDown->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    PanelDown->setLineWidth(1);
    PanelDown->setFixedHeight(kPanelDownHeight);

    LabelSoundMode =
        makeLabel(PanelDown, "LabelSoundMode", {4, 4}, "Звуковое устройство не поддерживается");
    LabelSoundMode->hide();
    LabelNotev = makeLabel(PanelDown, "LabelNotev", {240, 4}, "Нота");
    LabelRangef = makeLabel(PanelDown, "LabelRangef", {512, 4}, "Диапазон");
    LabelRangeValue = makeLabel(PanelDown, "LabelRangeValue", {568, 4}, "1");

    ChartSpec = makeSpectrumChart(this, "ChartSpec", "SeriesPointer", "SeriesSpec", SeriesPointer,
                                  SeriesSpec);

    LabelNoteValue = makeLabel(PanelDown, "LabelNoteValue", {272, 4}, "A3");
    setTextColour(LabelNoteValue, Qt::red);
    setBold(LabelNoteValue);
    LabelCenterFrq = makeLabel(PanelDown, "LabelCenterFrq", {376, 4}, "440");
    setTextColour(LabelCenterFrq, Qt::black);
    setBold(LabelCenterFrq);

    ChartSpecHi = makeSpectrumChart(this, "ChartSpecHi", "SeriesPointerHi", "SeriesSpecHi",
                                    SeriesPointerHi, SeriesSpecHi);

    LabelRusName = makeLabel(PanelDown, "LabelRusName", {304, 4}, "0");
    setTextColour(LabelRusName, Qt::black);
    LabelCenterFFT =
        makeLabel(PanelDown, "LabelCenterFFT", {4, 23}, "Отклонение от центральной частоты");
    LabelAmp = makeLabel(PanelDown, "LabelAmp", {376, 23}, "Дельта:");

    ActionLeft = new QAction(this);
    ActionLeft->setObjectName(QStringLiteral("ActionLeft"));
    EditFrqCenter = new QAction(this);
    EditFrqCenter->setObjectName(QStringLiteral("EditFrqCenter"));

    // Top to bottom; the note strip takes whatever height the fixed parts leave.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(ChartSpecHi);
    layout->addWidget(Chart1, 1);
    layout->addWidget(ChartSpec);
    layout->addWidget(PanelDown);
    layout->addWidget(PanelTop);

    setMinimumWidth(kFormClientWidth);
    setFixedHeight(kFormClientHeight);
    resize(kFormClientWidth, kFormClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                        screen->availableGeometry()));
    }

    // Wheel messages reach the window whichever child is under the pointer, also a child that
    // would take them itself.
    for (QWidget* widget : findChildren<QWidget*>()) {
        widget->installEventFilter(this);
    }

    // Emitted on the capture thread; the data travel in the mailbox, under a lock of ours.
    connect(this, &TTunerForm::SoundModeRequested, this, &TTunerForm::applySoundModeRequests,
            Qt::QueuedConnection);
    connect(Timer1, &QTimer::timeout, this, [this] { dispatch([this] { Timer1Timer(); }); });
    connect(Timer2, &QTimer::timeout, this, [this] { dispatch([this] { Timer2Timer(); }); });
    connect(ImagePiano, &PianoPicture::MouseReleased, this,
            [this](Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint position) {
                dispatch([&] { ImagePianoMouseUp(button, modifiers, position); });
            });
    connect(ActionLeft, &QAction::triggered, this,
            [this] { dispatch([this] { ActionLeftExecute(); }); });
    connect(EditFrqCenter, &QAction::triggered, this,
            [this] { dispatch([this] { EditFrqCenterChange(); }); });
}

template <typename Handler>
void TTunerForm::dispatch(Handler&& handler) noexcept {
    try {
        handler();
    } catch (...) {
        // Shown from the event loop, after the handler, not in a loop nested inside it (a show
        // handler's box would otherwise come up before the window does).
        QMetaObject::invokeMethod(
            this, [message = CurrentExceptionMessage()] { ShowErrorBox(message); },
            Qt::QueuedConnection);
    }
}

void TTunerForm::FormCreate() {
    analyser_.BuildWindowTable();
    tuning_.ViewRange = kDefaultViewRange;
    tuning_.NoteShift = kDefaultNoteShift;
    refreshDecimalSeparator();
}

void TTunerForm::refreshDecimalSeparator() {
    decimalSeparator_ = QLocale().decimalPoint().toStdString();
}

void TTunerForm::ApplyTuningState() {
    if (!isVisible()) {
        return;
    }
    const std::string noteName = NoteName(tuning_.NoteShift);
    setCaption(LabelNoteValue, QString::fromStdString(noteName));
    const std::string_view russianName = RussianNoteName(noteName);
    setCaption(LabelRusName,
               QString::fromUtf8(russianName.data(), static_cast<qsizetype>(russianName.size())));
    setCaption(LabelRangeValue, QString::number(tuning_.ViewRange));
    const double rate = DecimationRateFor(tuning_.NoteShift);
    const bool newRate = rate != decimationRate_.load(std::memory_order_relaxed);
    decimationRate_.store(rate, std::memory_order_relaxed);
    setCaption(LabelCenterFrq,
               QString::fromStdString(CentreFrequencyText(rate, decimalSeparator_)));

    centreBin_ = ::stemora::CentreBin;
    const AxisRange range = AxisRangeFor(tuning_.ViewRange, centreBin_);
    ChartSpec->SetBottomAxisRange(range.Low, range.High);
    ChartSpecHi->SetBottomAxisRange(range.Low, range.High);
    Chart1->SetBottomAxisRange(range.Low, range.High);

    const PianoPointer pointer = PianoPointerFor(tuning_.NoteShift);
    PanelPianoPoint->move(pointer.Left, pointer.Top);

    SeriesPointer->Clear();
    SeriesPointerHi->Clear();
    BarSeries->Clear();
    for (const Marker& marker : MarkersFor(tuning_.NoteShift, tuning_.ViewRange, centreBin_)) {
        const bool centre = marker.Note == tuning_.NoteShift;
        const PackedColour top = centre ? kCentreMarkerColour : kBlack;
        const PackedColour line = centre ? kCentreMarkerColour : kSemitoneLineColour;
        for (LineSeries* series : {SeriesPointer, SeriesPointerHi}) {
            series->AddPoint(marker.Position, kAxisBottom, {}, kBlack);
            series->AddPoint(marker.Position, kAxisTop, {}, top);
            series->AddPoint(marker.Position, kAxisBottom, {}, line);
        }
        const PackedColour key = marker.Sharp ? kSharpKeyColour : kNaturalKeyColour;
        BarSeries->AddPoint(marker.Position, kAxisBottom, QString::fromStdString(marker.LowerLabel),
                            key);
        BarSeries->AddPoint(marker.Position, kUpperHalf, QString::fromStdString(marker.UpperLabel),
                            key);
    }
    // The spectra on screen are the old note's: redrawn now (as silence, until sound at the new
    // rate arrives) rather than shown against the new note until the next tick.
    if (newRate && tunerThread_ && Timer2->isActive()) {
        ShowSpectra();
    }
}

void TTunerForm::FormShow() {
    // A thread told to stop by an earlier hide must be gone before a new one feeds the same
    // decimators.
    reapThreads(true);
    if (!deviceCheck_.Query() || !deviceCheck_.Open()) {
        Timer1->stop();
        Timer2->stop();
        setCaption(LabelSoundMode, QString::fromUtf8("Звуковое устройство не поддерживается"));
        LabelSoundMode->show();
        return;
    }
    try {
        tunerThread_ = std::make_unique<TTunerThread>(buffers_, decimationRate_, *this, backend_);
    } catch (...) {
        // The check's device would otherwise stay open until the program ends.
        deviceCheck_.Close();
        throw;
    }
    ApplyTuningState();
    Timer1->start();
    Timer2->start();
}

void TTunerForm::FormHide() {
    if (!tunerThread_) {
        return;
    }
    Timer1->stop();
    Timer2->stop();
    // The capture thread's label requests already queued are carried out first.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    tunerThread_->RequestStop();
    stoppingThreads_.push_back(std::move(tunerThread_));
}

void TTunerForm::Timer1Timer() {
    if (!tunerThread_) {
        return;
    }
    if (tunerThread_->DeviceLost()) {
        setCaption(LabelSoundMode,
                   QString::fromUtf8(kMsgDeviceLost.data(),
                                     static_cast<qsizetype>(kMsgDeviceLost.size())));
        return;
    }
    const std::int32_t bytesPerSample = tunerThread_->BytesPerSample();
    if (bytesPerSample == 0) {
        return;
    }
    setCaption(LabelSoundMode, QString::fromUtf8("%1 кГц,  %2 бит,  каналов %3")
                                   .arg(tunerThread_->SampleRate() / 1000)
                                   .arg(bytesPerSample * 8)
                                   .arg(tunerThread_->BytesPerFrame() / bytesPerSample));
}

void TTunerForm::Timer2Timer() {
    if (!tunerThread_ || !Timer2->isActive()) {
        return;
    }
    if (packBlocks(false)) {
        applySpectrumResult(analyser_.AnalyseSpectra(decimalSeparator_));
    }
}

void TTunerForm::ShowSpectra() {
    packBlocks(true);
    applySpectrumResult(analyser_.AnalyseSpectra(decimalSeparator_));
}

bool TTunerForm::packBlocks(bool always) {
    // One hold of the lock for the look and the copy: each hold may wait for a whole pass.
    std::lock_guard lock(tunerThread_->CaptureLock());
    // Blocks built at another rate are another note's sound (the capture thread has not yet
    // made a pass at the new rate): until it has, the display shows silence.
    const bool current = buffers_.BlockRate() == decimationRate_.load(std::memory_order_relaxed);
    const std::uint64_t spec = buffers_.Spec.BlockVersion();
    const std::uint64_t specHi = buffers_.SpecHi.BlockVersion();
    if (!always && spectraShown_ && current == shownCurrent_ && spec == shownSpecVersion_ &&
        specHi == shownSpecHiVersion_) {
        return false;
    }
    if (current) {
        analyser_.PackFrames(buffers_.Spec.Block(), buffers_.SpecHi.Block());
    } else {
        analyser_.PackFrames(kSilentBlock.data(), kSilentBlock.data());
    }
    shownSpecVersion_ = spec;
    shownSpecHiVersion_ = specHi;
    shownCurrent_ = current;
    spectraShown_ = true;
    return true;
}

void TTunerForm::applySpectrumResult(const SpectrumResult& result) {
    SeriesSpec->Clear();
    SeriesSpecHi->Clear();
    setCaption(LabelCenterFFT, QString::fromStdString(result.CentreCaption));
    setCaption(LabelAmp, QString::fromStdString(result.AmpCaption));
    SeriesSpec->SetSeriesColor(result.SpecColour);
    SeriesSpecHi->SetSeriesColor(result.SpecHiColour);
    for (std::size_t i = 0; i < result.SpecPoints.size(); ++i) {
        SeriesSpec->AddPoint(SpectrumResult::PointX(i), result.SpecPoints[i]);
    }
    for (std::size_t i = 0; i < result.SpecHiPoints.size(); ++i) {
        SeriesSpecHi->AddPoint(SpectrumResult::PointX(i), result.SpecHiPoints[i]);
    }
}

void TTunerForm::ImagePianoMouseUp(Qt::MouseButton, Qt::KeyboardModifiers, QPoint position) {
    tuning_.ClickPiano(position.x());
    ApplyTuningState();
}

bool TTunerForm::FormMouseWheel(const QWheelEvent& event) {
    // Only the vertical wheel is this message; a sideways tilt is another.
    const int delta = event.angleDelta().y();
    if (delta == 0) {
        return false;
    }
    tuning_.WheelStep(delta);
    ApplyTuningState();
    return true;
}

void TTunerForm::ActionLeftExecute() {
    tuning_.StepDown();
    ApplyTuningState();
}

void TTunerForm::EditFrqCenterChange() {
    ApplyTuningState();
}

void TTunerForm::reapThreads(bool wait) {
    std::erase_if(stoppingThreads_, [wait](const std::unique_ptr<TTunerThread>& thread) {
        return wait || thread->Finished();
    });
}

bool TTunerForm::WaitForCaptureThreads(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        reapThreads(false);
        if (stoppingThreads_.empty()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void TTunerForm::PostSoundModeCaption(std::string caption) {
    {
        std::lock_guard lock(mailboxLock_);
        pendingCaption_ = std::move(caption);
        captionPending_ = true;
    }
    emit SoundModeRequested();
}

void TTunerForm::PostSoundModeVisible() {
    {
        std::lock_guard lock(mailboxLock_);
        visiblePending_ = true;
    }
    emit SoundModeRequested();
}

void TTunerForm::applySoundModeRequests() {
    std::unique_lock lock(mailboxLock_);
    const bool caption = std::exchange(captionPending_, false);
    const bool visible = std::exchange(visiblePending_, false);
    const QString text = caption ? QString::fromStdString(pendingCaption_) : QString();
    lock.unlock();
    // In the order the thread asked: the caption, then the label shown.
    if (caption) {
        setCaption(LabelSoundMode, text);
    }
    if (visible) {
        LabelSoundMode->show();
    }
}

void TTunerForm::CloseDeviceCheck() noexcept {
    deviceCheck_.Close();
}

void TTunerForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A window restored from the task bar is not shown anew.
    if (!event->spontaneous()) {
        dispatch([this] { FormShow(); });
    }
}

void TTunerForm::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!event->spontaneous()) {
        dispatch([this] { FormHide(); });
    }
}

void TTunerForm::wheelEvent(QWheelEvent* event) {
    bool handled = false;
    dispatch([&] { handled = FormMouseWheel(*event); });
    // The window's own reply replaces the default wheel handling.
    event->setAccepted(handled);
}

bool TTunerForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Wheel) {
        wheelEvent(static_cast<QWheelEvent*>(event));
        // The window's reply replaces the child's own, whether or not it was a step.
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TTunerForm::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LocaleChange) {
        refreshDecimalSeparator();
    }
    QWidget::changeEvent(event);
}

}  // namespace stemora
