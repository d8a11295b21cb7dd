// The spectrum chart as the tuner draws it every display tick (1247 spectrum points on a
// logarithmic axis and the 63 points of the marker lines, 600 x 222), painted into an image by
// Stemora's chart widget and by QtCharts. At the end the medians (or single runs) of each pair
// are printed with their ratio.

#include <benchmark/benchmark.h>
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QGraphicsLayout>
#include <QImage>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QValueAxis>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "QtBenchmark.h"
#include "charting/Chart.h"

namespace {

constexpr int kWidth = 600;
constexpr int kHeight = 222;
constexpr int kFirstBin = 575;
constexpr int kBins = 1247;
constexpr int kRange = 10;

double markerX(int i) {
    return 1024.0 * std::pow(2.0, i / 12.0);
}

// A tone near bin 1100 over a noise floor; `tick` shifts the floor so refills differ.
std::vector<double> spectrum(int tick) {
    std::vector<double> values(kBins);
    for (int i = 0; i < kBins; ++i) {
        const double bin = kFirstBin + i;
        const double floor = 2000.0 * (1.5 + std::sin(0.37 * bin + tick) * std::cos(0.11 * bin));
        values[static_cast<std::size_t>(i)] =
            floor + 3e5 * std::exp(-std::pow((bin - 1100.0) / 3.0, 2.0));
    }
    return values;
}

struct Marker {
    double X;
    double Y;
    stemora::PackedColour Colour;
};

// Three points per marker, markers in ascending i (so x descends), as the window adds them.
std::vector<Marker> markers() {
    std::vector<Marker> points;
    for (int i = -kRange; i <= kRange; ++i) {
        points.push_back({markerX(i), 0.0, 0x000000});
        points.push_back({markerX(i), 100.0, i == 0 ? 0x0000FFu : 0x808080u});
        points.push_back({markerX(i), 0.0, 0x404040});
    }
    return points;
}

QImage canvas() {
    return QImage(kWidth, kHeight, QImage::Format_RGB32);
}

// --- Stemora chart -----------------------------------------------------------------------

struct OurChart {
    stemora::ChartWidget Chart;
    stemora::FastLineSeries* Spec;

    OurChart() {
        Chart.resize(kWidth, kHeight);
        Chart.SetBottomAxisRange(markerX(-kRange), markerX(kRange));
        stemora::LineSeries* pointer =
            Chart.AddLineSeries("SeriesPointer", stemora::VerticalAxis::Right, 0x0000FF);
        Spec = Chart.AddFastLineSeries("SeriesSpec", stemora::VerticalAxis::Left, 0x00FF00);
        for (const Marker& m : markers()) {
            pointer->AddPoint(m.X, m.Y, {}, m.Colour);
        }
    }
    void Fill(const std::vector<double>& values) {
        Spec->Clear();
        for (int i = 0; i < kBins; ++i) {
            Spec->AddPoint(kFirstBin + i, values[static_cast<std::size_t>(i)]);
        }
    }
};

void BM_Stemora_Paint(benchmark::State& state) {
    OurChart chart;
    chart.Fill(spectrum(0));
    QImage image = canvas();
    for (auto _ : state) {
        chart.Chart.render(&image);
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_Stemora_Paint)->Unit(benchmark::kMicrosecond);

void BM_Stemora_RefillAndPaint(benchmark::State& state) {
    OurChart chart;
    const std::vector<double> ticks[2] = {spectrum(0), spectrum(1)};
    QImage image = canvas();
    int tick = 0;
    for (auto _ : state) {
        chart.Fill(ticks[tick ^= 1]);
        chart.Chart.render(&image);
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_Stemora_RefillAndPaint)->Unit(benchmark::kMicrosecond);

// --- QtCharts ------------------------------------------------------------------------------

// Set up like the tuner's chart: no legend, margins, axis lines, grid or labels, black.
struct PeerChart {
    QChartView View;
    QChart* Chart = new QChart;
    QLineSeries* Spec = new QLineSeries;
    QValueAxis* Left = new QValueAxis;
    QList<QPointF> Points;

    PeerChart() {
        Chart->legend()->hide();
        Chart->setMargins({0, 0, 0, 0});
        Chart->setBackgroundRoundness(0);
        Chart->setBackgroundBrush(Qt::black);
        Chart->setPlotAreaBackgroundVisible(false);
        Chart->layout()->setContentsMargins(0, 0, 0, 0);
        auto* bottom = new QLogValueAxis;
        auto* right = new QValueAxis;
        bottom->setRange(markerX(-kRange), markerX(kRange));
        right->setRange(0.0, 100.0);
        for (QAbstractAxis* axis :
             {static_cast<QAbstractAxis*>(bottom), static_cast<QAbstractAxis*>(Left),
              static_cast<QAbstractAxis*>(right)}) {
            axis->setVisible(false);
        }
        Chart->addAxis(bottom, Qt::AlignBottom);
        Chart->addAxis(Left, Qt::AlignLeft);
        Chart->addAxis(right, Qt::AlignRight);

        // QtCharts has no per-segment colours: the marker lines are one series, as close as it
        // gets to the same pixel work.
        auto* pointer = new QLineSeries;
        for (const Marker& m : markers()) {
            pointer->append(m.X, m.Y);
        }
        pointer->setColor(Qt::gray);
        Chart->addSeries(pointer);
        pointer->attachAxis(bottom);
        pointer->attachAxis(right);
        Spec->setColor(Qt::green);
        Chart->addSeries(Spec);
        Spec->attachAxis(bottom);
        Spec->attachAxis(Left);

        View.setChart(Chart);
        View.setRenderHint(QPainter::Antialiasing, false);
        View.setFrameShape(QFrame::NoFrame);
        View.resize(kWidth, kHeight);
        Points.resize(kBins);
    }
    void Fill(const std::vector<double>& values) {
        double low = values[0];
        double high = values[0];
        for (int i = 0; i < kBins; ++i) {
            const double y = values[static_cast<std::size_t>(i)];
            Points[i] = QPointF(kFirstBin + i, y);
            low = std::min(low, y);
            high = std::max(high, y);
        }
        Spec->replace(Points);
        Left->setRange(low, high);  // the automatic axis, done by hand
    }
};

void BM_QtCharts_Paint(benchmark::State& state) {
    PeerChart chart;
    chart.Fill(spectrum(0));
    QImage image = canvas();
    chart.View.QWidget::render(&image);  // first layout outside the loop
    QApplication::processEvents();
    for (auto _ : state) {
        chart.View.QWidget::render(&image);
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_QtCharts_Paint)->Unit(benchmark::kMicrosecond);

void BM_QtCharts_RefillAndPaint(benchmark::State& state) {
    PeerChart chart;
    const std::vector<double> ticks[2] = {spectrum(0), spectrum(1)};
    QImage image = canvas();
    chart.View.QWidget::render(&image);
    QApplication::processEvents();
    int tick = 0;
    for (auto _ : state) {
        chart.Fill(ticks[tick ^= 1]);
        chart.View.QWidget::render(&image);
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_QtCharts_RefillAndPaint)->Unit(benchmark::kMicrosecond);

// --- Report --------------------------------------------------------------------------------

// Console output as usual; keeps each benchmark's median (or its only run), CPU and real time,
// for the ratios. CPU time is the fairer figure on a machine shared with other work.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const std::string& name = run.run_name.function_name;
            // A median overrides the single repetitions gathered before it.
            if (median || (run.run_type == Run::RT_Iteration && !medians_.count(name))) {
                medians_[name] = {run.GetAdjustedCPUTime(), run.GetAdjustedRealTime()};
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatio(const char* ours, const char* peer) const {
        const auto a = medians_.find(ours);
        const auto b = medians_.find(peer);
        if (a == medians_.end() || b == medians_.end() || !(a->second.Cpu > 0.0)) {
            return;
        }
        std::printf(
            "%-26s cpu %7.1f us  real %7.1f us | %-27s cpu %7.1f us  real %7.1f us | "
            "QtCharts / Stemora: cpu %.1f  real %.1f\n",
            ours, a->second.Cpu, a->second.Real, peer, b->second.Cpu, b->second.Real,
            b->second.Cpu / a->second.Cpu, b->second.Real / a->second.Real);
    }

  private:
    struct Times {
        double Cpu;
        double Real;
    };
    std::map<std::string, Times> medians_;
};

}  // namespace

int main(int argc, char** argv) {
    stemora::bench::QtBenchmarkApplication application(argc, argv);
    if (!application.ArgumentsUnderstood(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    reporter.PrintRatio("BM_Stemora_Paint", "BM_QtCharts_Paint");
    reporter.PrintRatio("BM_Stemora_RefillAndPaint", "BM_QtCharts_RefillAndPaint");
    return 0;
}
