#include "charting/Chart.h"

#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QRect>
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace stemora {

namespace {

// Places are clamped this far out: far beyond any window, yet safe for int and for the
// rasteriser's fixed-point arithmetic after it clips.
constexpr double kFarPixel = 1 << 20;

// Rounds half away from zero, as std::lround does, after clamping; NaN gives `otherwise`.
// Written out because the library call is a visible share of a redraw; within the clamp the
// fraction place - whole is exact.
int roundPixel(double place, int otherwise) noexcept {
    if (std::isnan(place)) {
        return otherwise;
    }
    const double clamped = std::clamp(place, -kFarPixel, kFarPixel);
    const int whole = static_cast<int>(clamped);
    const double fraction = clamped - whole;
    return fraction >= 0.5 ? whole + 1 : fraction <= -0.5 ? whole - 1 : whole;
}

int sign(int value) noexcept {
    return (value > 0) - (value < 0);
}

// Whether the path a -> b -> c lights exactly the pixels of a -> c in a polyline: both steps
// run level, or both upright, in the same direction, and a and c lie inside `area`. Clipping
// changes which end pixel a clipped segment keeps, and where a diagonal meets an upright
// segment the last pixel depends on the diagonal's length, so neither qualifies.
bool continuesStraight(QPoint a, QPoint b, QPoint c, const QRect& area) noexcept {
    const QPoint first = b - a;
    const QPoint second = c - b;
    if (sign(first.x()) != sign(second.x()) || sign(first.y()) != sign(second.y())) {
        return false;
    }
    return (first.x() == 0 || first.y() == 0) && area.contains(a) && area.contains(c);
}

// Ordering key of an x value: NaN sorts first (it is drawn at column 0, like x <= 0), so the
// points always stay totally ordered and the binary search stays valid.
double orderKey(double x) noexcept {
    return std::isnan(x) ? -std::numeric_limits<double>::infinity() : x;
}

}  // namespace

QColor ToQColor(PackedColour colour) noexcept {
    return QColor(static_cast<int>(colour & 0xFFu), static_cast<int>((colour >> 8) & 0xFFu),
                  static_cast<int>((colour >> 16) & 0xFFu));
}

// ---------------------------------------------------------------------------------------------
// ChartSeries

ChartSeries::ChartSeries(ChartWidget& chart, VerticalAxis axis, PackedColour colour)
    : QObject(&chart), chart_(chart), axis_(axis), seriesColour_(colour) {}

ChartSeries::~ChartSeries() {
    chart_.forgetSeries(this);
}

void ChartSeries::Clear() {
    if (points_.empty()) {
        return;
    }
    points_.clear();  // keeps the capacity for the next refill
    changed();
}

int ChartSeries::AddPoint(double x, double y, const QString& label, PackedColour colour) {
    const double key = orderKey(x);
    std::size_t index = points_.size();
    if (!points_.empty() && key < orderKey(points_.back().X)) {
        // Out of order: after every point of equal x.
        const auto place = std::upper_bound(
            points_.begin(), points_.end(), key,
            [](double k, const ChartPoint& point) { return k < orderKey(point.X); });
        index = static_cast<std::size_t>(place - points_.begin());
        points_.insert(place, ChartPoint{x, y, label, colour});
    } else {
        points_.push_back(ChartPoint{x, y, label, colour});
    }
    changed();
    return static_cast<int>(index);
}

void ChartSeries::SetSeriesColor(PackedColour colour) {
    if (colour == seriesColour_) {
        return;
    }
    seriesColour_ = colour;
    changed();
}

QColor ChartSeries::PointColour(const ChartPoint& point) const noexcept {
    return ToQColor(point.Colour == kSeriesColourDefault ? seriesColour_ : point.Colour);
}

int ChartSeries::column(double x) const noexcept {
    return chart_.frame_.Column(x);
}

int ChartSeries::row(double y) const noexcept {
    return chart_.frame_.Row(y, axis_);
}

std::vector<QPoint>& ChartSeries::polyline() const noexcept {
    return chart_.polyline_;
}

const QPen& ChartSeries::pen(const QColor& colour) const {
    return chart_.cachedPen(colour);
}

void ChartSeries::placePoints() const {
    std::vector<QPoint>& places = chart_.polyline_;
    places.clear();
    const ChartWidget::Frame& frame = chart_.frame_;
    const QRect area(0, 0, frame.Width, frame.Height);
    if (frame.LnLow != columnsLnLow_ || frame.ColumnsPerLn != columnsPerLn_) {
        columnXs_.clear();
        columns_.clear();
        columnsLnLow_ = frame.LnLow;
        columnsPerLn_ = frame.ColumnsPerLn;
    }
    for (std::size_t i = 0; i < points_.size(); ++i) {
        const ChartPoint& point = points_[i];
        int x = 0;
        if (i < columnXs_.size() && columnXs_[i] == point.X) {  // NaN never matches
            x = columns_[i];
        } else {
            x = column(point.X);
            if (i < columnXs_.size()) {
                columnXs_[i] = point.X;
                columns_[i] = x;
            } else {
                columnXs_.push_back(point.X);
                columns_.push_back(x);
            }
        }
        const QPoint place(x, row(point.Y));
        // Several bins share a column, and the noise floor runs level for stretches: repeats of
        // one pixel and corners that are none add nothing but rasteriser work.
        if (!places.empty() && places.back() == place) {
            continue;
        }
        if (places.size() >= 2 &&
            continuesStraight(places[places.size() - 2], places.back(), place, area)) {
            places.back() = place;
        } else {
            places.push_back(place);
        }
    }
}

void ChartSeries::changed() {
    chart_.seriesChanged(this);
}

// ---------------------------------------------------------------------------------------------
// LineSeries

LineSeries::LineSeries(ChartWidget& chart, VerticalAxis axis, PackedColour colour)
    : ChartSeries(chart, axis, colour) {}

void LineSeries::paint(QPainter& painter) {
    const std::vector<ChartPoint>& points = Points();
    const std::size_t count = points.size();
    if (count < 2) {
        return;
    }
    std::vector<QPoint>& places = polyline();
    places.clear();
    for (const ChartPoint& point : points) {
        places.emplace_back(column(point.X), row(point.Y));
    }
    // Segment i joins places[i - 1] to places[i] in the colour of point i, in order; the
    // segments of one colour in a row go out as one polyline. A lone upright or level segment
    // is a filled rectangle instead: the same pixels for a fraction of the line rasteriser's
    // work. One that the next segment retraces is skipped, as the next covers it (the marker
    // lines go up in one colour and back down in another).
    std::size_t first = 1;
    while (first < count) {
        const QColor colour = PointColour(points[first]);
        std::size_t last = first;
        while (last + 1 < count && PointColour(points[last + 1]) == colour) {
            ++last;
        }
        const QPoint from = places[first - 1];
        const QPoint to = places[first];
        if (last > first || (from.x() != to.x() && from.y() != to.y())) {
            painter.setPen(pen(colour));
            painter.drawPolyline(places.data() + (first - 1), static_cast<int>(last - first + 2));
        } else if (first + 1 >= count || places[first + 1] != from) {
            painter.fillRect(QRect(QPoint(std::min(from.x(), to.x()), std::min(from.y(), to.y())),
                                   QPoint(std::max(from.x(), to.x()), std::max(from.y(), to.y()))),
                             colour);
        }
        first = last + 1;
    }
}

// ---------------------------------------------------------------------------------------------
// FastLineSeries

FastLineSeries::FastLineSeries(ChartWidget& chart, VerticalAxis axis, PackedColour colour)
    : ChartSeries(chart, axis, colour) {}

void FastLineSeries::paint(QPainter& painter) {
    if (Count() < 2) {
        return;
    }
    placePoints();
    const std::vector<QPoint>& places = polyline();
    painter.setPen(pen(ToQColor(SeriesColor())));
    if (places.size() == 1) {
        painter.drawPoint(places.front());  // every point on one pixel
    } else {
        painter.drawPolyline(places.data(), static_cast<int>(places.size()));
    }
}

// ---------------------------------------------------------------------------------------------
// BarSeries

BarSeries::BarSeries(ChartWidget& chart, VerticalAxis axis, PackedColour colour, double origin)
    : ChartSeries(chart, axis, colour),
      origin_(origin),
      markColour_(chart.palette().color(QPalette::ToolTipBase)) {
    // Arial where installed, else a family with the same metrics.
    markFont_.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                           QStringLiteral("Arimo"), QStringLiteral("DejaVu Sans")});
    markFont_.setPixelSize(11);
}

void BarSeries::SetArrowLength(int pixels) {
    if (pixels == arrowLength_) {
        return;
    }
    arrowLength_ = pixels;
    changed();
}

void BarSeries::SetMarkFont(const QFont& font) {
    if (font == markFont_) {
        return;
    }
    markFont_ = font;
    changed();
}

void BarSeries::SetMarkColour(const QColor& colour) {
    if (colour == markColour_) {
        return;
    }
    markColour_ = colour;
    changed();
}

int BarSeries::BarWidth() const noexcept {
    const int count = Count();
    if (count == 0) {
        return 0;  // no bars, and no division by zero
    }
    const int width = std::max(chart().width(), 0) / count;
    return width % 2 != 0 ? width + 1 : width;
}

void BarSeries::paint(QPainter& painter) {
    const std::vector<ChartPoint>& points = Points();
    const int width = BarWidth();
    if (points.empty()) {
        return;
    }
    const int originRow = row(origin_);
    if (width > 0) {
        for (const ChartPoint& point : points) {
            const int valueRow = row(point.Y);
            const int top = std::min(originRow, valueRow);
            const int bottom = std::max(originRow, valueRow);
            painter.fillRect(QRect(column(point.X) - width / 2, top, width, bottom - top + 1),
                             PointColour(point));
        }
    }
    // Marks over every bar, so a later bar never hides an earlier bar's label.
    painter.setFont(markFont_);
    painter.setPen(pen(markColour_));
    const QFontMetrics metrics = painter.fontMetrics();
    const int height = metrics.height();
    for (const ChartPoint& point : points) {
        if (point.Label.isEmpty()) {
            continue;
        }
        const int valueRow = row(point.Y);
        const int boxWidth = metrics.horizontalAdvance(point.Label);
        // A hanging bar carries its mark below the value end, a standing one above it; a
        // negative arrow length moves the mark back into the bar.
        const int top =
            valueRow > originRow ? valueRow + arrowLength_ : valueRow - arrowLength_ - height;
        const QRect box(column(point.X) - boxWidth / 2, top, boxWidth, height);
        painter.drawText(box, Qt::AlignCenter | Qt::TextDontClip, point.Label);
    }
}

// ---------------------------------------------------------------------------------------------
// ChartWidget

ChartWidget::ChartWidget(QWidget* parent) : QWidget(parent) {
    // Every pixel is painted here, so Qt repaints nothing beneath the chart on its updates.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
}

ChartWidget::~ChartWidget() {
    // The series go first, while this chart is still whole; taken out of the list beforehand,
    // they schedule no redraw as they leave.
    const std::vector<ChartSeries*> series = std::move(series_);
    series_.clear();
    for (ChartSeries* one : series) {
        delete one;
    }
}

template <class Series>
Series* ChartWidget::addSeries(const QString& name, Series* series) {
    series->setObjectName(name);
    series_.push_back(series);
    layerValid_ = false;
    update();
    return series;
}

LineSeries* ChartWidget::AddLineSeries(const QString& name, VerticalAxis axis,
                                       PackedColour colour) {
    return addSeries(name, new LineSeries(*this, axis, colour));
}

FastLineSeries* ChartWidget::AddFastLineSeries(const QString& name, VerticalAxis axis,
                                               PackedColour colour) {
    return addSeries(name, new FastLineSeries(*this, axis, colour));
}

BarSeries* ChartWidget::AddBarSeries(const QString& name, VerticalAxis axis, PackedColour colour,
                                     double origin) {
    return addSeries(name, new BarSeries(*this, axis, colour, origin));
}

void ChartWidget::SetBottomAxisRange(double minimum, double maximum) {
    // A range the logarithm cannot span would put every place at NaN: keep the last good one.
    if (!(minimum > 0.0) || !(maximum > minimum) || !std::isfinite(maximum)) {
        return;
    }
    if (minimum == bottomMin_ && maximum == bottomMax_) {
        return;
    }
    bottomMin_ = minimum;
    bottomMax_ = maximum;
    layerValid_ = false;
    update();
}

int ChartWidget::XToPixel(double x) const noexcept {
    return makeFrame().Column(x);
}

int ChartWidget::YToPixel(double y, VerticalAxis axis) const noexcept {
    return makeFrame().Row(y, axis);
}

double ChartWidget::LeftMinimum() const noexcept {
    double minimum = 0.0;
    double maximum = 0.0;
    leftSpan(minimum, maximum);
    return minimum;
}

double ChartWidget::LeftMaximum() const noexcept {
    double minimum = 0.0;
    double maximum = 0.0;
    leftSpan(minimum, maximum);
    return maximum;
}

void ChartWidget::leftSpan(double& minimum, double& maximum) const noexcept {
    bool any = false;
    minimum = 0.0;
    maximum = 0.0;
    for (const ChartSeries* series : series_) {
        if (series->Axis() != VerticalAxis::Left) {
            continue;
        }
        for (const ChartPoint& point : series->Points()) {
            // A NaN or infinite value would make every place NaN; it is left out of the span.
            if (!std::isfinite(point.Y)) {
                continue;
            }
            if (!any) {
                minimum = maximum = point.Y;
                any = true;
            } else {
                minimum = std::min(minimum, point.Y);
                maximum = std::max(maximum, point.Y);
            }
        }
    }
}

ChartWidget::Frame ChartWidget::makeFrame() const noexcept {
    Frame frame;
    frame.Width = width();
    frame.Height = height();
    frame.LnLow = std::log(bottomMin_);
    frame.ColumnsPerLn = frame.Width / (std::log(bottomMax_) - frame.LnLow);
    leftSpan(frame.LeftMin, frame.LeftMax);
    return frame;
}

int ChartWidget::Frame::Column(double x) const noexcept {
    if (!(x > 0.0)) {
        return 0;
    }
    return roundPixel((std::log(x) - LnLow) * ColumnsPerLn, 0);
}

int ChartWidget::Frame::Row(double y, VerticalAxis axis) const noexcept {
    const double minimum = axis == VerticalAxis::Left ? LeftMin : 0.0;
    const double maximum = axis == VerticalAxis::Left ? LeftMax : 100.0;
    const double span = maximum - minimum;
    if (!(span > 0.0)) {
        return Height - 1;
    }
    return roundPixel((maximum - y) * (Height - 1) / span, Height - 1);
}

const QPen& ChartWidget::cachedPen(const QColor& colour) {
    for (const QPen& pen : pens_) {
        if (pen.color() == colour) {
            return pen;
        }
    }
    QPen& pen = pens_[nextPen_];
    nextPen_ = (nextPen_ + 1) % pens_.size();
    pen.setColor(colour);
    return pen;
}

void ChartWidget::seriesChanged(const ChartSeries* series) {
    if (layerValid_) {
        const auto end = series_.begin() + static_cast<std::ptrdiff_t>(layerSeries_);
        if (std::find(series_.begin(), end, series) != end) {
            layerValid_ = false;
        }
    }
    // A refill adds over a thousand points; one request per redraw is enough, and asking Qt
    // again for each point costs more than the points themselves.
    if (!repaintRequested_) {
        repaintRequested_ = true;
        update();
    }
}

void ChartWidget::forgetSeries(ChartSeries* series) noexcept {
    const auto place = std::find(series_.begin(), series_.end(), series);
    if (place != series_.end()) {
        series_.erase(place);
        layerValid_ = false;
        update();
    }
}

std::size_t ChartWidget::fixedSeries() const noexcept {
    std::size_t count = 0;
    while (count < series_.size() && series_[count]->Axis() == VerticalAxis::Right &&
           dynamic_cast<const LineSeries*>(series_[count]) != nullptr) {
        ++count;
    }
    return count;
}

void ChartWidget::paintEvent(QPaintEvent* /*event*/) {
    repaintRequested_ = false;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, false);
    frame_ = makeFrame();
    std::size_t first = 0;
    // Only where a logical pixel is a device pixel (no scaled rendering): the layer holds the
    // widget's pixels one for one.
    const std::size_t fixed =
        painter.deviceTransform().isScaling() || size().isEmpty() ? 0 : fixedSeries();
    if (fixed > 0) {
        if (!layerValid_ || layerSeries_ != fixed || layer_.size() != size()) {
            if (layer_.size() != size()) {
                layer_ = QImage(size(), QImage::Format_RGB32);
            }
            QPainter layer(&layer_);
            layer.setRenderHint(QPainter::Antialiasing, false);
            layer.fillRect(layer_.rect(), Qt::black);
            for (std::size_t i = 0; i < fixed; ++i) {
                series_[i]->paint(layer);
            }
            layerSeries_ = fixed;
            layerValid_ = true;
        }
        painter.drawImage(0, 0, layer_);
        first = fixed;
    } else {
        painter.fillRect(rect(), Qt::black);
    }
    for (std::size_t i = first; i < series_.size(); ++i) {
        series_[i]->paint(painter);
    }
}

}  // namespace stemora
