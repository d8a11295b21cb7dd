#pragma once

// A small chart widget for the tuner: a logarithmic bottom axis, an automatic left axis and a
// right axis fixed at 0..100, with line, fast-line and bar series drawn by QPainter on a black
// background. No title, legend, axes, labels, margins, zoom or panning.
//
// Geometry (W x H the widget's size in device-independent pixels):
// - Bottom axis, logarithmic over [low, high]: a value v > 0 stands at column
//   round((ln v - ln low) * W / (ln high - ln low)); a value <= 0 or NaN at column 0. The high
//   end lands on column W, one past the last: the rightmost marker is not seen.
// - round() takes halves away from zero, as std::lround does, for columns and rows alike.
// - Vertical axes: the maximum at row 0, the minimum at row H - 1, linear in between. The left
//   axis spans exactly the smallest to the largest y of the points of the series drawn against
//   it (no margin), recomputed at every redraw, 0..0 when there are none; the right axis is
//   0..100. An axis whose span is 0 puts every value at row H - 1. NaN and infinite y stay out
//   of the left span (they would make every place NaN).
//
// Points are kept in ascending x; points of equal x stay in the order they were added, so
// points added in ascending x append in O(1). Storage keeps its capacity across Clear. A NaN x
// sorts before every number.
//
// Threads: window thread only, like every widget.

#include <QColor>
#include <QFont>
#include <QImage>
#include <QObject>
#include <QPen>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <vector>

namespace stemora {

// Packed colour: red + 256 * green + 65536 * blue, red in the lowest byte.
using PackedColour = std::uint32_t;
// The reserved packed colour meaning "the series' own colour".
inline constexpr PackedColour kSeriesColourDefault = 0x20000000u;

QColor ToQColor(PackedColour colour) noexcept;

enum class VerticalAxis { Left, Right };

struct ChartPoint {
    double X = 0.0;
    double Y = 0.0;
    QString Label;
    PackedColour Colour = kSeriesColourDefault;
};

class ChartWidget;

// One series of a chart; a QObject child of its chart, so it can be found by objectName.
class ChartSeries : public QObject {
    Q_OBJECT
  public:
    // Leaves its chart's drawing list, so deleting a series on its own is safe.
    ~ChartSeries() override;

    // Empties the series and schedules a redraw of its chart.
    void Clear();
    // Adds a point in its x place (after every point of equal x); returns its index. Schedules a
    // redraw. colour: a packed colour or kSeriesColourDefault.
    int AddPoint(double x, double y, const QString& label = {},
                 PackedColour colour = kSeriesColourDefault);
    // The series colour; a change schedules a redraw.
    void SetSeriesColor(PackedColour colour);
    PackedColour SeriesColor() const noexcept { return seriesColour_; }

    VerticalAxis Axis() const noexcept { return axis_; }
    int Count() const noexcept { return static_cast<int>(points_.size()); }
    const ChartPoint& Point(int index) const { return points_.at(static_cast<std::size_t>(index)); }
    const std::vector<ChartPoint>& Points() const noexcept { return points_; }
    // The colour a point is drawn in: its own, or the series colour for kSeriesColourDefault.
    QColor PointColour(const ChartPoint& point) const noexcept;

  protected:
    ChartSeries(ChartWidget& chart, VerticalAxis axis, PackedColour colour);
    ChartWidget& chart() const noexcept { return chart_; }

    // For paint(): places under the frame the chart is painting, and its shared pixel buffer.
    int column(double x) const noexcept;
    int row(double y) const noexcept;
    std::vector<QPoint>& polyline() const noexcept;
    // A pen of this colour from the chart's cache: painting then allocates no pen.
    const class QPen& pen(const QColor& colour) const;
    // Fills polyline() with the points' places, dropping those that leave its pixels unchanged
    // (repeats, and points inside a straight level or upright run on the chart).
    void placePoints() const;
    // Schedules a redraw of this series' chart, and of nothing else.
    void changed();

  private:
    friend class ChartWidget;
    virtual void paint(class QPainter& painter) = 0;

    ChartWidget& chart_;
    VerticalAxis axis_;
    PackedColour seriesColour_;
    std::vector<ChartPoint> points_;
    // Columns placePoints() worked out last time, by point index, and the bottom-axis mapping
    // they hold for: a spectrum is refilled at the same bins every tick, so most need no log.
    mutable std::vector<double> columnXs_;
    mutable std::vector<int> columns_;
    mutable double columnsLnLow_ = 0.0;
    mutable double columnsPerLn_ = 0.0;
};

// Joins its points in x order; each segment takes the colour of the point at its end. No point
// symbols, no marks.
class LineSeries final : public ChartSeries {
    Q_OBJECT
  public:
    LineSeries(ChartWidget& chart, VerticalAxis axis, PackedColour colour);

  private:
    void paint(QPainter& painter) override;
};

// Joins its points in x order in the one series colour.
class FastLineSeries final : public ChartSeries {
    Q_OBJECT
  public:
    FastLineSeries(ChartWidget& chart, VerticalAxis axis, PackedColour colour);

  private:
    void paint(QPainter& painter) override;
};

// Draws each point as a bar from Origin() to its y, centred on its x, in the point's colour,
// without outline, (W div Count()) pixels wide, plus 1 when that is odd; bars at one x overlap in
// the order added. Then each point's label as a mark at the bar's value end: transparent, no
// frame or arrow line, moved ArrowLength() pixels beyond the value end (negative: back into the
// bar), centred on the bar, in MarkFont() and MarkColour().
class BarSeries final : public ChartSeries {
    Q_OBJECT
  public:
    BarSeries(ChartWidget& chart, VerticalAxis axis, PackedColour colour, double origin);

    double Origin() const noexcept { return origin_; }
    int ArrowLength() const noexcept { return arrowLength_; }
    void SetArrowLength(int pixels);
    const QFont& MarkFont() const noexcept { return markFont_; }
    void SetMarkFont(const QFont& font);
    const QColor& MarkColour() const noexcept { return markColour_; }
    void SetMarkColour(const QColor& colour);
    // Width in pixels of every bar at the chart's current width.
    int BarWidth() const noexcept;

  private:
    void paint(QPainter& painter) override;

    double origin_;
    int arrowLength_ = 0;
    QFont markFont_;
    QColor markColour_;
};

class ChartWidget : public QWidget {
    Q_OBJECT
  public:
    explicit ChartWidget(QWidget* parent = nullptr);
    ~ChartWidget() override;

    // Series are owned by the chart and drawn in the order they were added.
    LineSeries* AddLineSeries(const QString& name, VerticalAxis axis, PackedColour colour);
    FastLineSeries* AddFastLineSeries(const QString& name, VerticalAxis axis, PackedColour colour);
    BarSeries* AddBarSeries(const QString& name, VerticalAxis axis, PackedColour colour,
                            double origin);

    // Range of the logarithmic bottom axis (low < high, both > 0 and finite); schedules a
    // redraw. Any other range is ignored and the last one kept: it would place every point at NaN.
    void SetBottomAxisRange(double minimum, double maximum);
    double BottomMinimum() const noexcept { return bottomMin_; }
    double BottomMaximum() const noexcept { return bottomMax_; }

    // Pixel places under the current size, ranges and points (the rules in the file comment).
    int XToPixel(double x) const noexcept;
    int YToPixel(double y, VerticalAxis axis) const noexcept;
    // The left axis' current span (0..0 without points).
    double LeftMinimum() const noexcept;
    double LeftMaximum() const noexcept;

  protected:
    void paintEvent(class QPaintEvent* event) override;

  private:
    friend class ChartSeries;
    void seriesChanged(const ChartSeries* series);
    void forgetSeries(ChartSeries* series) noexcept;
    // How many series at the head of the drawing order go into the fixed layer: line series
    // against the right axis, whose pixels depend on nothing that a refill of the others moves.
    std::size_t fixedSeries() const noexcept;
    template <class Series>
    Series* addSeries(const QString& name, Series* series);

    // The mapping of one redraw: size, bottom axis and left span, fixed while painting.
    struct Frame {
        int Width = 0;
        int Height = 0;
        double LnLow = 0.0;
        double ColumnsPerLn = 0.0;
        double LeftMin = 0.0;
        double LeftMax = 0.0;
        int Column(double x) const noexcept;
        int Row(double y, VerticalAxis axis) const noexcept;
    };
    Frame makeFrame() const noexcept;
    void leftSpan(double& minimum, double& maximum) const noexcept;
    const QPen& cachedPen(const QColor& colour);

    bool repaintRequested_ = false;     // an update() is pending since the last paint
    std::vector<ChartSeries*> series_;  // children, in drawing order
    double bottomMin_ = 1.0;
    double bottomMax_ = 10.0;
    Frame frame_;                   // valid during paintEvent
    std::vector<QPoint> polyline_;  // reused by every series' paint
    // A few pens recoloured in place: with no painter holding them a recolour allocates nothing.
    std::array<QPen, 16> pens_;
    std::size_t nextPen_ = 0;
    // The background with the fixed series drawn on it (the tuner's marker lines), kept between
    // redraws: a spectrum refill then repaints only the spectrum over a copy of it. Dropped by
    // any change of those series, of the bottom axis, of the series list or of the size.
    QImage layer_;
    std::size_t layerSeries_ = 0;
    bool layerValid_ = false;
};

}  // namespace stemora
