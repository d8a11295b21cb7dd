// The chart widget: pixel places, series order and storage, and what grab() shows.

#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QtTest/QtTest>
#include <cmath>
#include <limits>

#include "charting/Chart.h"

using namespace stemora;

namespace {

constexpr PackedColour kRed = 0x0000FFu;
constexpr PackedColour kGreen = 0x00FF00u;
constexpr PackedColour kBlue = 0xFF0000u;
constexpr PackedColour kWhite = 0xFFFFFFu;

double markerX(int i) {
    return 1024.0 * std::pow(2.0, i / 12.0);
}

void setRange(ChartWidget& chart, int range) {
    chart.SetBottomAxisRange(markerX(-range), markerX(range));
}

QImage shot(ChartWidget& chart) {
    return chart.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Rows of column band [left, right] holding a pixel that is clearly red.
QList<int> redRows(const QImage& image, int left, int right) {
    QList<int> rows;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = std::max(left, 0); x <= std::min(right, image.width() - 1); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > c.green() + 80 && c.red() > c.blue() + 80) {
                rows.append(y);
                break;
            }
        }
    }
    return rows;
}

// The tuner's marker lines: three points per marker, markers in ascending i.
void addMarkers(LineSeries& series, int range, PackedColour top, PackedColour line) {
    for (int i = -range; i <= range; ++i) {
        series.AddPoint(markerX(i), 0.0, {}, 0);
        series.AddPoint(markerX(i), 100.0, {}, top);
        series.AddPoint(markerX(i), 0.0, {}, line);
    }
}

class CountingWidget : public QWidget {
  public:
    using QWidget::QWidget;
    int Paints = 0;

  protected:
    void paintEvent(QPaintEvent*) override {
        ++Paints;
        QPainter(this).fillRect(rect(), Qt::gray);
    }
};

class CountingChart : public ChartWidget {
  public:
    using ChartWidget::ChartWidget;
    int Paints = 0;

  protected:
    void paintEvent(QPaintEvent* event) override {
        ++Paints;
        ChartWidget::paintEvent(event);
    }
};

}  // namespace

class ChartTest : public QObject {
    Q_OBJECT
  private slots:
    void columnPlacement_data();
    void columnPlacement();
    void markerSpacing_data();
    void markerSpacing();
    void invalidBottomRangeKeepsTheLast();
    void barWidth_data();
    void barWidth();
    void verticalAxes();
    void leftAxisTouchesBothEdges();
    void pointOrder();
    void storageKeepsCapacity();
    void emptyChartIsBlack();
    void segmentsTakeTheirEndColour();
    void lineKindsDrawTheSamePixels();
    void fastLineColourChange();
    void barMarks();
    void seriesAreNamedChildren();
    void rendersAtDoubleRatio();
    void updateStaysOnTheChart();
    void redrawAfterAChangeMatchesAFreshChart_data();
    void redrawAfterAChangeMatchesAFreshChart();
};

void ChartTest::columnPlacement_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("column");
    // Range 100..10000 on 600 px: column = round(300 * log10(v / 100)).
    QTest::newRow("low") << 100.0 << 0;
    QTest::newRow("decade") << 1000.0 << 300;
    QTest::newRow("high") << 10000.0 << 600;
    QTest::newRow("quarter") << 100.0 * std::sqrt(10.0) << 150;
    QTest::newRow("200 -> 90.3") << 200.0 << 90;
    QTest::newRow("150 -> 52.8") << 150.0 << 53;
    QTest::newRow("below low") << 10.0 << -300;
    QTest::newRow("zero") << 0.0 << 0;
    QTest::newRow("negative") << -5.0 << 0;
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << 0;
}

void ChartTest::columnPlacement() {
    QFETCH(double, value);
    QFETCH(int, column);
    ChartWidget chart;
    chart.resize(600, 222);
    chart.SetBottomAxisRange(100.0, 10000.0);
    QCOMPARE(chart.XToPixel(value), column);
}

void ChartTest::markerSpacing_data() {
    QTest::addColumn<int>("range");
    for (int r = 1; r <= 10; ++r) {
        QTest::addRow("range %d", r) << r;
    }
}

void ChartTest::markerSpacing() {
    QFETCH(int, range);
    ChartWidget chart;
    chart.resize(600, 222);
    setRange(chart, range);
    const double spacing = 600.0 / (2 * range);
    for (int i = -range; i <= range; ++i) {
        const double ideal = (i + range) * spacing;
        const int column = chart.XToPixel(markerX(i));
        if (600 % (2 * range) == 0) {
            QCOMPARE(column, static_cast<int>(ideal));
        } else {
            QVERIFY2(std::abs(column - ideal) <= 1.0, qPrintable(QString::number(i)));
        }
    }
    if (range == 10) {
        QCOMPARE(chart.XToPixel(markerX(1)) - chart.XToPixel(markerX(0)), 30);
    }
    if (range == 1) {
        QCOMPARE(chart.XToPixel(markerX(1)) - chart.XToPixel(markerX(0)), 300);
    }
}

void ChartTest::invalidBottomRangeKeepsTheLast() {
    ChartWidget chart;
    chart.resize(600, 10);
    chart.SetBottomAxisRange(100.0, 10000.0);
    chart.SetBottomAxisRange(0.0, 10.0);
    chart.SetBottomAxisRange(50.0, 50.0);
    chart.SetBottomAxisRange(10.0, std::numeric_limits<double>::infinity());
    chart.SetBottomAxisRange(std::numeric_limits<double>::quiet_NaN(), 10.0);
    QCOMPARE(chart.BottomMinimum(), 100.0);
    QCOMPARE(chart.BottomMaximum(), 10000.0);
    QCOMPARE(chart.XToPixel(1000.0), 300);
}

void ChartTest::barWidth_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("points");
    QTest::addColumn<int>("bar");
    QTest::newRow("range 10: 42 points") << 600 << 42 << 14;
    QTest::newRow("range 1: 6 points") << 600 << 6 << 100;
    QTest::newRow("85 is odd") << 600 << 7 << 86;
    QTest::newRow("75 is odd") << 600 << 8 << 76;
    QTest::newRow("empty") << 600 << 0 << 0;
}

void ChartTest::barWidth() {
    QFETCH(int, width);
    QFETCH(int, points);
    QFETCH(int, bar);
    ChartWidget chart;
    chart.resize(width, 27);
    chart.SetBottomAxisRange(100.0, 10000.0);
    BarSeries* series = chart.AddBarSeries("bars", VerticalAxis::Right, 0, 100.0);
    for (int i = 0; i < points; ++i) {
        series->AddPoint(1000.0, 0.0, {}, kRed);
    }
    QCOMPARE(series->BarWidth(), bar);
    if (points > 0) {
        // One bar on the centre column, drawn exactly that wide.
        const QList<int> row = [&] {
            QList<int> lit;
            const QImage image = shot(chart);
            for (int x = 0; x < image.width(); ++x) {
                if (image.pixelColor(x, 20) == QColor(Qt::red)) {
                    lit.append(x);
                }
            }
            return lit;
        }();
        QCOMPARE(row.size(), bar);
        QCOMPARE(row.front(), 300 - bar / 2);
    }
}

void ChartTest::verticalAxes() {
    ChartWidget chart;
    chart.resize(600, 27);
    // Right: 0..100 whatever the points; left: empty, so zero span, so the bottom row.
    QCOMPARE(chart.YToPixel(100.0, VerticalAxis::Right), 0);
    QCOMPARE(chart.YToPixel(0.0, VerticalAxis::Right), 26);
    QCOMPARE(chart.YToPixel(50.0, VerticalAxis::Right), 13);
    QCOMPARE(chart.LeftMinimum(), 0.0);
    QCOMPARE(chart.LeftMaximum(), 0.0);
    QCOMPARE(chart.YToPixel(5.0, VerticalAxis::Left), 26);
    // Halves round away from zero: on 201 rows a right-axis step of 0.5 is one row.
    chart.resize(600, 201);
    QCOMPARE(chart.YToPixel(99.75, VerticalAxis::Right), 1);    // 0.5
    QCOMPARE(chart.YToPixel(98.75, VerticalAxis::Right), 3);    // 2.5
    QCOMPARE(chart.YToPixel(100.25, VerticalAxis::Right), -1);  // -0.5
    QCOMPARE(chart.YToPixel(98.9, VerticalAxis::Right), 2);     // 2.2
    chart.resize(600, 27);

    FastLineSeries* series = chart.AddFastLineSeries("s", VerticalAxis::Left, kGreen);
    series->AddPoint(1.0, 7.0);
    QCOMPARE(chart.YToPixel(7.0, VerticalAxis::Left), 26);  // one value: zero span
    series->AddPoint(2.0, -3.0);
    // Non-finite values stay out of the span.
    series->AddPoint(3.0, std::numeric_limits<double>::quiet_NaN());
    series->AddPoint(4.0, std::numeric_limits<double>::infinity());
    QCOMPARE(chart.LeftMinimum(), -3.0);
    QCOMPARE(chart.LeftMaximum(), 7.0);
    QCOMPARE(chart.YToPixel(7.0, VerticalAxis::Left), 0);
    QCOMPARE(chart.YToPixel(-3.0, VerticalAxis::Left), 26);
    // Points on the right axis never widen the left one.
    chart.AddLineSeries("r", VerticalAxis::Right, kRed)->AddPoint(1.0, 1000.0);
    QCOMPARE(chart.LeftMaximum(), 7.0);
    series->Clear();
    QCOMPARE(chart.LeftMaximum(), 0.0);
}

void ChartTest::leftAxisTouchesBothEdges() {
    for (const double sign : {1.0, -1.0}) {  // the spectrum, and the hanging one
        ChartWidget chart;
        chart.resize(600, 222);
        setRange(chart, 10);
        FastLineSeries* series = chart.AddFastLineSeries("SeriesSpec", VerticalAxis::Left, kGreen);
        for (int bin = 575; bin <= 1821; ++bin) {
            series->AddPoint(bin, sign * (1000.0 + 900.0 * std::cos((bin - 1100) / 40.0)));
        }
        const double extremeBin = 1100.0 + 40.0 * M_PI;  // cos = -1
        const int top = chart.XToPixel(sign > 0 ? 1100.0 : extremeBin);
        const int bottom = chart.XToPixel(sign > 0 ? extremeBin : 1100.0);
        const QImage image = shot(chart);
        const auto litNear = [&](int column, int row) {
            for (int x = column - 1; x <= column + 1; ++x) {
                if (image.pixelColor(x, row) == QColor(Qt::green)) {
                    return true;
                }
            }
            return false;
        };
        QVERIFY(litNear(top, 0));
        QVERIFY(litNear(bottom, 221));
        QVERIFY(!litNear(top, 221));
    }
}

void ChartTest::pointOrder() {
    ChartWidget chart;
    LineSeries* series = chart.AddLineSeries("s", VerticalAxis::Right, kRed);
    QCOMPARE(series->AddPoint(5.0, 0.0, "a"), 0);
    QCOMPARE(series->AddPoint(5.0, 0.0, "b"), 1);  // equal x: after
    QCOMPARE(series->AddPoint(3.0, 0.0, "c"), 0);  // out of order: binary search
    QCOMPARE(series->AddPoint(5.0, 0.0, "d"), 3);
    QCOMPARE(series->AddPoint(4.0, 0.0, "e"), 1);
    QCOMPARE(series->AddPoint(3.0, 0.0, "f"), 1);
    // NaN sorts first (drawn at column 0); later points still find their place.
    QCOMPARE(series->AddPoint(std::numeric_limits<double>::quiet_NaN(), 0.0, "g"), 0);
    QCOMPARE(series->AddPoint(1.0, 0.0, "h"), 1);
    QString labels;
    for (const ChartPoint& point : series->Points()) {
        labels += point.Label;
    }
    QCOMPARE(labels, QStringLiteral("ghcfeabd"));
}

void ChartTest::storageKeepsCapacity() {
    ChartWidget chart;
    FastLineSeries* series = chart.AddFastLineSeries("s", VerticalAxis::Left, kGreen);
    for (int refill = 0; refill < 3; ++refill) {
        series->Clear();
        for (int bin = 575; bin <= 1821; ++bin) {
            QCOMPARE(series->AddPoint(bin, bin), bin - 575);  // appended at the end
        }
        QCOMPARE(series->Count(), 1247);
    }
    const ChartPoint* storage = series->Points().data();
    const std::size_t capacity = series->Points().capacity();
    series->Clear();
    QCOMPARE(series->Count(), 0);
    QCOMPARE(series->Points().capacity(), capacity);
    for (int bin = 575; bin <= 1821; ++bin) {
        series->AddPoint(bin, bin);
    }
    QCOMPARE(series->Points().data(), storage);
}

void ChartTest::emptyChartIsBlack() {
    ChartWidget chart;
    chart.resize(600, 222);
    chart.AddLineSeries("a", VerticalAxis::Right, kRed);
    chart.AddBarSeries("b", VerticalAxis::Right, kRed, 100.0)->AddPoint(1000.0, 100.0);
    chart.AddFastLineSeries("c", VerticalAxis::Left, kGreen)->AddPoint(1000.0, 1.0);  // 1 point
    const QImage image = shot(chart);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) != qRgb(0, 0, 0)) {
                QFAIL(qPrintable(QStringLiteral("lit at %1,%2").arg(x).arg(y)));
            }
        }
    }
}

void ChartTest::segmentsTakeTheirEndColour() {
    ChartWidget chart;
    chart.resize(600, 222);
    setRange(chart, 10);
    LineSeries* markers = chart.AddLineSeries("SeriesPointer", VerticalAxis::Right, kRed);
    addMarkers(*markers, 10, kWhite, kBlue);
    // A segment ending in a point of the series colour.
    LineSeries* pointer = chart.AddLineSeries("p", VerticalAxis::Right, kRed);
    pointer->AddPoint(markerX(-10), 50.0, {}, kGreen);
    pointer->AddPoint(markerX(10), 50.0);
    const QImage image = shot(chart);
    for (int i = -10; i < 10; ++i) {  // the column of +10 is 600, just off the chart
        const int column = chart.XToPixel(markerX(i));
        QCOMPARE(image.pixelColor(column, 0), QColor(Qt::blue));  // line over top colour
        QCOMPARE(image.pixelColor(column, 100), QColor(Qt::blue));
        QCOMPARE(image.pixelColor(column + 15, 221), QColor(Qt::black));  // joins at bottom
        QCOMPARE(image.pixelColor(column + 15, 111), QColor(Qt::red));    // pointer
    }
    // Without the last point of each marker the top colour shows.
    markers->Clear();
    for (int i = -10; i <= 10; ++i) {
        markers->AddPoint(markerX(i), 0.0, {}, 0);
        markers->AddPoint(markerX(i), 100.0, {}, kWhite);
    }
    QCOMPARE(shot(chart).pixelColor(300, 50), QColor(Qt::white));
}

void ChartTest::lineKindsDrawTheSamePixels() {
    // Both series simplify their drawing (merged runs; rectangles for straight segments; a
    // retraced segment skipped); in one colour they must still light the same pixels as each
    // other and as a plain polyline through every place.
    ChartWidget fast;
    ChartWidget line;
    for (ChartWidget* chart : {&fast, &line}) {
        chart->resize(300, 120);
        chart->SetBottomAxisRange(100.0, 400.0);
    }
    FastLineSeries* a = fast.AddFastLineSeries("a", VerticalAxis::Right, kGreen);
    LineSeries* b = line.AddLineSeries("b", VerticalAxis::Right, kGreen);
    std::uint32_t state = 12345;
    double y = 50.0;
    for (int i = 0; i < 600; ++i) {
        state = state * 1664525u + 1013904223u;
        const int kind = static_cast<int>(state >> 29);  // 0..7
        y = kind == 0   ? 50.0
            : kind == 1 ? y
            : kind == 2 ? y + 0.84
                        : std::fmod(y + state % 97, 110.0);
        const double x = 100.0 + i * 0.5 + (kind == 3 ? 0.0 : 0.25);
        a->AddPoint(x, y);
        b->AddPoint(x, y);
        if (kind == 4) {  // straight up and back down
            a->AddPoint(x, 100.0);
            b->AddPoint(x, 100.0);
            a->AddPoint(x, y);
            b->AddPoint(x, y);
        }
    }
    const auto plain = [&] {
        QImage image(300, 120, QImage::Format_RGB32);
        image.fill(Qt::black);
        QPainter painter(&image);
        painter.setPen(QPen(QColor(Qt::green), 1));
        QPolygon places;
        for (const ChartPoint& point : a->Points()) {
            places << QPoint(fast.XToPixel(point.X), fast.YToPixel(point.Y, VerticalAxis::Right));
        }
        painter.drawPolyline(places);
        return image;
    };
    QCOMPARE(shot(fast), plain());
    QCOMPARE(shot(line), plain());
    // The fast line reuses its columns on a refill: after a new range, and for moved points.
    fast.SetBottomAxisRange(120.0, 380.0);
    QCOMPARE(shot(fast), plain());
    const std::vector<ChartPoint> old = a->Points();
    a->Clear();
    for (std::size_t i = 0; i < old.size(); ++i) {
        a->AddPoint(i % 3 == 0 ? old[i].X + 0.1 : old[i].X, old[i].Y);
    }
    QCOMPARE(shot(fast), plain());
}

void ChartTest::fastLineColourChange() {
    ChartWidget chart;
    chart.resize(600, 222);
    setRange(chart, 10);
    FastLineSeries* series = chart.AddFastLineSeries("SeriesSpec", VerticalAxis::Left, kGreen);
    series->AddPoint(1024.0, 0.0);
    series->AddPoint(1024.0, 1.0);
    QCOMPARE(shot(chart).pixelColor(300, 100), QColor(Qt::green));
    series->SetSeriesColor(kRed);
    QCOMPARE(series->SeriesColor(), kRed);
    QCOMPARE(shot(chart).pixelColor(300, 100), QColor(Qt::red));
}

void ChartTest::barMarks() {
    // The note strip: origin 100, a lower label on a bar down to 0 and an upper one down to 50.
    ChartWidget chart;
    chart.resize(600, 27);
    setRange(chart, 1);
    BarSeries* series = chart.AddBarSeries("BarSeries", VerticalAxis::Right, 0, 100.0);
    QCOMPARE(series->MarkColour(), chart.palette().color(QPalette::ToolTipBase));
    QCOMPARE(series->MarkFont().pixelSize(), 11);
    QCOMPARE(series->MarkFont().families().value(0), QStringLiteral("Arial"));
    series->SetArrowLength(-15);
    series->SetMarkColour(Qt::red);
    const int height = QFontMetrics(series->MarkFont()).height();

    series->AddPoint(1024.0, 0.0, "A4", 0x323232);
    const QList<int> lower = redRows(shot(chart), 250, 350);
    QVERIFY(!lower.isEmpty());
    QVERIFY2(lower.front() >= 11 && lower.back() < 11 + height,
             qPrintable(QString::number(lower.front())));

    series->Clear();
    series->AddPoint(1024.0, 50.0, "A5", 0xB4B4B4);
    const QList<int> upper = redRows(shot(chart), 250, 350);
    QVERIFY(!upper.isEmpty());
    QVERIFY(upper.back() < -2 + height);
    QVERIFY(upper.back() < lower.front());

    // Standing bars carry the mark above the value end (bottom edge at row - arrow).
    ChartWidget standing;
    standing.resize(600, 100);
    setRange(standing, 1);
    BarSeries* up = standing.AddBarSeries("up", VerticalAxis::Right, 0, 0.0);
    up->SetMarkColour(Qt::red);
    up->AddPoint(1024.0, 50.0, "A4", kBlue);  // value row 50
    const QList<int> above = redRows(shot(standing), 250, 350);
    QVERIFY(!above.isEmpty());
    QVERIFY(above.back() < 50 && above.front() >= 50 - height);
}

void ChartTest::seriesAreNamedChildren() {
    ChartWidget chart;
    chart.resize(100, 100);
    LineSeries* pointer = chart.AddLineSeries("SeriesPointer", VerticalAxis::Right, kRed);
    BarSeries* bars = chart.AddBarSeries("BarSeries", VerticalAxis::Right, 0, 100.0);
    QCOMPARE(chart.findChild<LineSeries*>("SeriesPointer"), pointer);
    QCOMPARE(chart.findChild<ChartSeries*>("BarSeries"), bars);
    QCOMPARE(bars->parent(), &chart);
    // A series deleted on its own leaves the chart drawable.
    delete pointer;
    QVERIFY(chart.findChild<LineSeries*>("SeriesPointer") == nullptr);
    bars->AddPoint(1.0, 0.0, "x");
    QVERIFY(!shot(chart).isNull());
}

void ChartTest::rendersAtDoubleRatio() {
    ChartWidget chart;
    chart.resize(600, 222);
    setRange(chart, 10);
    // Drawn first: one bar as wide as the chart, with a mark.
    chart.AddBarSeries("BarSeries", VerticalAxis::Right, 0, 100.0)
        ->AddPoint(1024.0, 0.0, "A4", 0x323232);
    FastLineSeries* spec = chart.AddFastLineSeries("SeriesSpec", VerticalAxis::Left, kGreen);
    for (int bin = 575; bin <= 1821; ++bin) {
        spec->AddPoint(bin, bin == 1100 ? 100.0 : 0.0);
    }
    addMarkers(*chart.AddLineSeries("SeriesPointer", VerticalAxis::Right, kRed), 10, kWhite, kBlue);

    QImage image(1200, 444, QImage::Format_RGB32);
    image.setDevicePixelRatio(2.0);
    image.fill(Qt::white);
    chart.render(&image);
    // The bar reaches the last device column.
    QCOMPARE(image.pixelColor(1190, 300), QColor(50, 50, 50));
    // The peak reaches the top edge at twice its logical column.
    const int column = 2 * chart.XToPixel(1100.0);
    bool peak = false;
    for (int x = column - 4; x <= column + 4; ++x) {
        peak = peak || image.pixelColor(x, 0) == QColor(Qt::green);
    }
    QVERIFY(peak);
    QCOMPARE(image.pixelColor(2 * chart.XToPixel(markerX(-9)), 200), QColor(Qt::blue));
}

void ChartTest::updateStaysOnTheChart() {
    CountingWidget window;
    window.resize(600, 300);
    CountingWidget sibling(&window);
    sibling.setGeometry(0, 250, 600, 50);
    CountingChart chart(&window);
    chart.setGeometry(0, 0, 600, 222);
    FastLineSeries* series = chart.AddFastLineSeries("SeriesSpec", VerticalAxis::Left, kGreen);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(50);
    window.Paints = sibling.Paints = chart.Paints = 0;
    for (int refresh = 0; refresh < 3; ++refresh) {
        series->Clear();
        for (int bin = 575; bin <= 1821; ++bin) {
            series->AddPoint(bin, bin % 7);
        }
        QTRY_VERIFY(chart.Paints > refresh);
    }
    QTest::qWait(20);
    QCOMPARE(chart.Paints, 3);
    QCOMPARE(window.Paints, 0);
    QCOMPARE(sibling.Paints, 0);
}

// The marker lines are kept drawn between redraws; a change they depend on must redraw them, and
// a spectrum refill must leave them as they were.
struct MarkedChart {
    ChartWidget Chart;
    LineSeries* Markers;
    FastLineSeries* Spectrum;
    MarkedChart() {
        Chart.resize(600, 222);
        Markers = Chart.AddLineSeries("SeriesPointer", VerticalAxis::Right, kRed);
        Spectrum = Chart.AddFastLineSeries("SeriesSpec", VerticalAxis::Left, kGreen);
    }
    void Mark(int range, int shift) {
        Markers->Clear();
        for (int i = -range; i <= range; ++i) {
            Markers->AddPoint(markerX(i + shift), 0.0, {}, 0);
            Markers->AddPoint(markerX(i + shift), 100.0, {}, kBlue);
            Markers->AddPoint(markerX(i + shift), 0.0);  // the series colour, drawn over Blue
        }
    }
    void Fill(int seed) {
        Spectrum->Clear();
        for (int bin = 575; bin <= 1821; ++bin) {
            Spectrum->AddPoint(bin, (bin * seed) % 37);
        }
    }
};

void ChartTest::redrawAfterAChangeMatchesAFreshChart_data() {
    QTest::addColumn<int>("change");
    QTest::newRow("markers moved") << 0;
    QTest::newRow("series colour") << 1;
    QTest::newRow("bottom range") << 2;
    QTest::newRow("size") << 3;
    QTest::newRow("spectrum refilled") << 4;
    QTest::newRow("series added") << 5;
}

void ChartTest::redrawAfterAChangeMatchesAFreshChart() {
    QFETCH(int, change);
    // One chart drawn before and after the change, one drawn only in the final state.
    const auto apply = [change](MarkedChart& c, bool changed) {
        setRange(c.Chart, changed && change == 2 ? 7 : 10);
        c.Mark(10, changed && change == 0 ? 1 : 0);
        c.Markers->SetSeriesColor(changed && change == 1 ? kWhite : kRed);
        c.Chart.resize(changed && change == 3 ? QSize(500, 180) : QSize(600, 222));
        c.Fill(changed && change == 4 ? 5 : 3);
        if (changed && change == 5) {
            c.Chart.AddLineSeries("Extra", VerticalAxis::Right, kBlue)->AddPoint(1024.0, 50.0);
        }
    };
    MarkedChart drawn;
    apply(drawn, false);
    const QImage before = shot(drawn.Chart);
    apply(drawn, true);
    MarkedChart fresh;
    apply(fresh, true);
    const QImage expected = shot(fresh.Chart);
    QCOMPARE(shot(drawn.Chart), expected);
    QVERIFY(change == 5 || expected != before);
}

QTEST_MAIN(ChartTest)
#include "ChartTest.moc"
