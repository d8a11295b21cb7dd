#pragma once
// The tuner's one window: the spectrum an octave above the centre note (ChartSpecHi), a strip of
// note names (Chart1), the spectrum around the centre note (ChartSpec), a panel of labels
// (PanelDown) and the piano picture with its red pointer (PanelTop).
//
// The window owns the tuning state, the sample buffers with their decimators, DecimationRate and
// the spectrum analyser, and holds the capture thread while it is shown. Showing it checks the
// output device and starts capture; hiding it stops the timers and tells the capture thread to
// stop. A thread told to stop is kept until it has ended (WaitForCaptureThreads, or the next
// show, or destruction), so nothing it uses goes away under it.
//
// Threads: everything here runs on the window thread, except the ITunerWindow calls, which the
// capture thread makes; its label requests are queued to the window thread.

#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/PianoPicture.h"
#include "app/uTuner.h"
#include "capture/DeviceCheck.h"
#include "capture/SoundPlatform.h"
#include "charting/Chart.h"
#include "core/SampleBuffers.h"
#include "core/SpectrumAnalysis.h"
#include "core/TuningState.h"

namespace stemora {

// Client area at the design size; the height is fixed, the width may grow.
inline constexpr int kFormClientWidth = 600;
inline constexpr int kFormClientHeight = 573;
inline constexpr int kTimer1Interval = 1000;
inline constexpr int kTimer2Interval = 63;

class TTunerForm : public QWidget, public ITunerWindow {
    Q_OBJECT
  public:
    // backend: the sound capture back end; deviceCheck: the output-device check. Both must
    // outlive the window. The window is created hidden; FormCreate has run on return.
    TTunerForm(ISoundBackend& backend, IDeviceCheck& deviceCheck, QWidget* parent = nullptr);
    // Stops the timers and waits for every capture thread before anything it uses goes.
    ~TTunerForm() override;

    // Controls, in their declaration order; owned by the window through Qt's parent chain.
    QWidget* PanelTop;
    QTimer* Timer1;
    QTimer* Timer2;
    PianoPicture* ImagePiano;
    QFrame* PanelPianoPoint;
    ChartWidget* Chart1;
    ::stemora::BarSeries* BarSeries;
    QFrame* PanelDown;
    QLabel* LabelSoundMode;
    QLabel* LabelNotev;
    QLabel* LabelRangef;
    QLabel* LabelRangeValue;
    ChartWidget* ChartSpec;
    LineSeries* SeriesPointer;
    FastLineSeries* SeriesSpec;
    QLabel* LabelNoteValue;
    QLabel* LabelCenterFrq;
    ChartWidget* ChartSpecHi;
    FastLineSeries* SeriesSpecHi;
    LineSeries* SeriesPointerHi;
    QLabel* LabelRusName;
    QLabel* LabelCenterFFT;
    QLabel* LabelAmp;
    // Commands offered by the window, bound to no control and no key.
    QAction* ActionLeft;
    QAction* EditFrqCenter;

    // The running capture thread, or null.
    TTunerThread* TunerThread() const noexcept { return tunerThread_.get(); }
    const TuningState& Tuning() const noexcept { return tuning_; }
    double CentreBin() const noexcept { return centreBin_; }
    // Values per second of the Spec decimator; 0 until the state is first applied.
    double DecimationRate() const noexcept {
        return decimationRate_.load(std::memory_order_relaxed);
    }
    const SpectrumAnalyser& Analyser() const noexcept { return analyser_; }
    const SampleBuffers& Buffers() const noexcept { return buffers_; }

    // Recomputes everything derived from the tuning state and redraws labels, axis ranges,
    // pointer and markers; does nothing while the window is hidden.
    void ApplyTuningState();

    // Event handlers. Each may raise; the window's own dispatch reports what escapes in the
    // error box, so callers outside the event loop (tests) see the exception itself.
    void FormCreate();
    void FormShow();
    void FormHide();
    void Timer1Timer();
    // Shows the spectra when the capture thread has rebuilt a block since they were last shown:
    // the same blocks would give the same picture and captions. The device delivers a period at
    // a time, so many ticks find nothing new.
    void Timer2Timer();
    // Analyses the current blocks and shows the result, new or not. Needs the capture thread.
    void ShowSpectra();
    void ImagePianoMouseUp(Qt::MouseButton button, Qt::KeyboardModifiers modifiers,
                           QPoint position);
    // One range step per wheel message with a vertical component; true when it was one.
    bool FormMouseWheel(const QWheelEvent& event);
    void ActionLeftExecute();
    void EditFrqCenterChange();

    // Waits up to `timeout` for every capture thread told to stop to end, then frees those that
    // have; true when none is left running. For the end of the program.
    bool WaitForCaptureThreads(std::chrono::milliseconds timeout);

    // ITunerWindow, called by the capture thread.
    void PostSoundModeCaption(std::string caption) override;
    void PostSoundModeVisible() override;
    void CloseDeviceCheck() noexcept override;

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  signals:
    // The capture thread left a request for LabelSoundMode in the mailbox (queued to the window
    // thread).
    void SoundModeRequested();

  private:
    void buildControls();
    void applySoundModeRequests();
    void applySpectrumResult(const SpectrumResult& result);
    void refreshDecimalSeparator();
    void reapThreads(bool wait);
    // Runs a handler; an exception that escapes it is shown in the error box.
    template <typename Handler>
    void dispatch(Handler&& handler) noexcept;
    // Copies the blocks into the analyser's frames, under CaptureLock, unless `always` is false
    // and neither block has changed since they were last shown; true when it copied.
    bool packBlocks(bool always);

    ISoundBackend& backend_;
    IDeviceCheck& deviceCheck_;
    SampleBuffers buffers_;
    std::atomic<double> decimationRate_{0.0};
    SpectrumAnalyser analyser_;
    TuningState tuning_;
    double centreBin_ = ::stemora::CentreBin;
    std::string decimalSeparator_ = ".";
    // BlockVersion() of each decimator when the spectra were last shown.
    std::uint64_t shownSpecVersion_ = 0;
    std::uint64_t shownSpecHiVersion_ = 0;
    // Whether they were the current note's blocks (not silence in place of another rate's).
    bool shownCurrent_ = false;
    bool spectraShown_ = false;
    // The capture thread's requests for LabelSoundMode, handed over under mailboxLock_.
    std::mutex mailboxLock_;
    std::string pendingCaption_;
    bool captionPending_ = false;
    bool visiblePending_ = false;
    std::unique_ptr<TTunerThread> tunerThread_;
    // Threads told to stop that may not have ended yet; declared last, so they go first.
    std::vector<std::unique_ptr<TTunerThread>> stoppingThreads_;
};

// The one main window of the program, or null.
extern TTunerForm* TunerForm;

}  // namespace stemora
