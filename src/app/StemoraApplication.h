#pragma once
// The application object: titles the program "Stemora", reports every exception that escapes an
// event or timer handler in the error box and goes on, and turns SIGTERM and SIGINT (a desktop
// session ending, Ctrl+C in a terminal) into an ordinary close of every window.

#include <QApplication>

class QSocketNotifier;

namespace stemora {

class TStemoraApplication : public QApplication {
    Q_OBJECT
  public:
    TStemoraApplication(int& argc, char** argv);
    ~TStemoraApplication() override;

    bool notify(QObject* receiver, QEvent* event) override;

  private:
    void terminationRequested();

    QSocketNotifier* signalNotifier_ = nullptr;
};

}  // namespace stemora
