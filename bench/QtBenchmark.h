#pragma once
// For benchmark programs that draw widgets: a QApplication on the offscreen platform (unless the
// caller chose another), then Google Benchmark's own set-up.

#include <benchmark/benchmark.h>

#include <QApplication>

namespace stemora::bench {

// Make this first in main(); it must outlive every widget of the run.
class QtBenchmarkApplication {
  public:
    QtBenchmarkApplication(int& argc, char** argv) : app_((usePlatform(), argc), argv) {
        benchmark::Initialize(&argc, argv);
    }
    ~QtBenchmarkApplication() { benchmark::Shutdown(); }

    // False when Google Benchmark did not take every argument (it has said which).
    bool ArgumentsUnderstood(int argc, char** argv) const {
        return !benchmark::ReportUnrecognizedArguments(argc, argv);
    }

  private:
    static void usePlatform() {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
    }

    QApplication app_;
};

}  // namespace stemora::bench
