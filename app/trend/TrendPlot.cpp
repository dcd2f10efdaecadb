#include "app/trend/TrendPlot.h"

#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace trend {

namespace {

// Channel colours, told apart also with the common colour-vision deficiencies.
const QColor kChannelColours[TrendModel::Channels] = {
    QColor(0x00, 0x72, 0xB2), QColor(0xD5, 0x5E, 0x00), QColor(0x00, 0x9E, 0x73),
    QColor(0xCC, 0x79, 0xA7), QColor(0xE6, 0x9F, 0x00), QColor(0x56, 0xB4, 0xE9),
    QColor(0x7F, 0x3C, 0x8D), QColor(0x8C, 0x6D, 0x00), QColor(0x3B, 0x3B, 0x98)};
const QColor kPressureColour(0x20, 0x20, 0x20);
const QColor kGrid(0xE4, 0xE4, 0xE4);
const QColor kFrame(0x90, 0x90, 0x90);

QColor colourOf(int series)
{
    return series == Picture::Pressure ? kPressureColour : kChannelColours[series - 1];
}

// A 1, 2 or 5 times a power of ten step that gives at most `ticks` steps over `range`.
double niceStep(double range, int ticks)
{
    const double raw = range / std::max(1, ticks);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double n = raw / magnitude;
    return (n <= 1 ? 1 : n <= 2 ? 2 : n <= 5 ? 5 : 10) * magnitude;
}

struct Axis {
    double lo = 0, hi = 1;
    bool valid = false;
    double y(double v, const QRect &plot) const
    {
        return plot.top() + (hi - v) / (hi - lo) * plot.height();
    }
};

// The data's range with a small margin; a flat line sits in the middle.
Axis axisFor(double lo, double hi)
{
    Axis a;
    if (!(lo <= hi)) return a;
    a.valid = true;
    const double range = hi - lo;
    const double margin = range > 0 ? range * 0.05 : std::max(1e-9, std::abs(lo) * 0.05);
    a.lo = lo - (range > 0 ? margin : std::max(margin, 0.5));
    a.hi = hi + (range > 0 ? margin : std::max(margin, 0.5));
    return a;
}

QString tickText(double v, double step)
{
    const int decimals = std::clamp(int(-std::floor(std::log10(step))), 0, 9);
    if (std::abs(v) < step * 1e-6) v = 0;
    return QLocale().toString(v, 'f', decimals);
}

constexpr qint64 kTimeSteps[] = {1000,     2000,     5000,     10000,     15000,
                                 30000,    60000,    120000,   300000,    600000,
                                 900000,   1800000,  3600000,  7200000,   10800000,
                                 21600000, 43200000, 86400000, 172800000, 604800000};

} // namespace

TrendPlot::TrendPlot(const TrendModel &model, QWidget *parent) : QWidget(parent), m_model(model)
{
    setObjectName(QStringLiteral("picTrend"));
    setAccessibleName(QStringLiteral("Trend plot"));
    setAccessibleDescription(
        QStringLiteral("Each channel of the chosen sensor and the pressure against time. "
                       "Save the points as CSV to read the numbers."));
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setMinimumSize(320, 200);
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_rebuild.setSingleShot(true);
    connect(&m_rebuild, &QTimer::timeout, this, [this] {
        m_dirty = true;
        update();
    });
}

void TrendPlot::setSensor(int sensor)
{
    if (sensor == m_sensor) return;
    m_sensor = sensor;
    refreshNow();
}

void TrendPlot::setSpan(qint64 ms)
{
    if (ms == m_span) return;
    m_span = ms;
    refreshNow();
}

void TrendPlot::setPressureShown(bool shown)
{
    if (shown == m_pressureShown) return;
    m_pressureShown = shown;
    refreshNow();
}

bool TrendPlot::onScreen() const
{
    return isVisible() && !window()->isMinimized();
}

int TrendPlot::rebuildInterval() const
{
    // A new picture once the newest data has moved about two pixel columns.
    const auto [t0, t1] = timeSpan();
    const qint64 perColumn = (t1 - t0) / std::max(1, width() - 100);
    return int(std::clamp<qint64>(2 * perColumn, 200, 1500));
}

void TrendPlot::dataChanged()
{
    if (!onScreen()) {
        m_dirty = true; // built when shown again
        return;
    }
    if (!m_rebuild.isActive()) m_rebuild.start(rebuildInterval());
}

void TrendPlot::refreshNow()
{
    m_dirty = true;
    m_rebuild.stop();
    if (onScreen()) update();
}

std::pair<qint64, qint64> TrendPlot::timeSpan() const
{
    if (m_model.pointCount() == 0) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        return {now - (m_span > 0 ? m_span : 60000) + 1, now};
    }
    const qint64 last = m_model.lastMs();
    if (m_span > 0) return {last - m_span + 1, last};
    const qint64 first = m_model.firstMs();
    return {first, std::max(last, first + 999)};
}

TrendPlot::Layout TrendPlot::layoutFor(QSize size) const
{
    const QFontMetrics fm = fontMetrics();
    Layout l;
    l.legendHeight = fm.height() + 10;
    const int axisWidth = fm.horizontalAdvance(QStringLiteral("-000000.00")) + 10;
    const int left = axisWidth;
    const int right = m_pressureShown ? axisWidth : 16;
    const int bottom = fm.height() + 10;
    l.plot = QRect(left, l.legendHeight, std::max(10, size.width() - left - right),
                   std::max(10, size.height() - l.legendHeight - bottom));
    return l;
}

void TrendPlot::build()
{
    const Layout l = layoutFor(size());
    const auto [t0, t1] = timeSpan();
    m_model.decimate(m_sensor, t0, t1, l.plot.width(), m_pressureShown, m_picture);
    const qreal dpr = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * dpr).toSize();
    if (m_image.size() != pixels) {
        m_image = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        m_image.setDevicePixelRatio(dpr);
    }
    QPainter painter(&m_image);
    drawPicture(painter, m_picture, size());
    m_dirty = false;
    ++m_builds;
    emit pictureBuilt(m_picture.points);
}

void TrendPlot::render(QPainter &painter, QSize size) const
{
    const Layout l = layoutFor(size);
    const auto [t0, t1] = timeSpan();
    Picture picture;
    m_model.decimate(m_sensor, t0, t1, l.plot.width(), m_pressureShown, picture);
    drawPicture(painter, picture, size);
}

void TrendPlot::drawPicture(QPainter &painter, const Picture &picture, QSize size) const
{
    const Layout l = layoutFor(size);
    const QRect plot = l.plot;
    const QFontMetrics fm = fontMetrics();
    painter.setFont(font());
    painter.fillRect(QRect(QPoint(0, 0), size), Qt::white);

    // The left axis spans every channel; the right one the pressure.
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    const int channels = m_model.channelCount(m_sensor);
    for (int k = 1; k <= TrendModel::Channels; ++k) {
        lo = std::min(lo, picture.series[size_t(k)].lo);
        hi = std::max(hi, picture.series[size_t(k)].hi);
    }
    const Axis left = axisFor(lo, hi);
    const SeriesPicture &p = picture.series[Picture::Pressure];
    const Axis right = picture.hasPressure ? axisFor(p.lo, p.hi) : Axis{};

    // Legend: the sensor, then a swatch and a name per series.
    int x = plot.left();
    const int legendY = 4;
    const int textY = legendY + fm.ascent();
    painter.setPen(Qt::black);
    if (m_sensor >= 0) {
        const QString title = QStringLiteral("Sensor ") + m_model.sensors().value(m_sensor);
        painter.drawText(x, textY, title);
        x += fm.horizontalAdvance(title) + 16;
    }
    auto legendItem = [&](int series, const QString &name) {
        if (x + 20 + fm.horizontalAdvance(name) > size.width()) return;
        painter.setPen(QPen(colourOf(series), 2));
        const int my = legendY + fm.height() / 2;
        painter.drawLine(x, my, x + 14, my);
        painter.setPen(Qt::black);
        painter.drawText(x + 18, textY, name);
        x += 18 + fm.horizontalAdvance(name) + 14;
    };
    for (int k = 1; k <= channels; ++k)
        legendItem(k, m_model.channelName(m_sensor, k));
    if (picture.hasPressure) legendItem(Picture::Pressure, TrendModel::pressureName());

    // Grid and axis labels.
    painter.setPen(kGrid);
    const int labelH = fm.height();
    if (left.valid) {
        const double step = niceStep(left.hi - left.lo, std::max(2, plot.height() / (labelH * 2)));
        for (double v = std::ceil(left.lo / step) * step; v <= left.hi; v += step) {
            const int y = int(std::lround(left.y(v, plot)));
            painter.setPen(kGrid);
            painter.drawLine(plot.left(), y, plot.right(), y);
            painter.setPen(Qt::black);
            painter.drawText(QRect(0, y - labelH / 2, plot.left() - 6, labelH),
                             Qt::AlignRight | Qt::AlignVCenter, tickText(v, step));
        }
    }
    if (right.valid) {
        const double step =
            niceStep(right.hi - right.lo, std::max(2, plot.height() / (labelH * 2)));
        painter.setPen(kPressureColour);
        for (double v = std::ceil(right.lo / step) * step; v <= right.hi; v += step) {
            const int y = int(std::lround(right.y(v, plot)));
            painter.drawLine(plot.right(), y, plot.right() + 4, y);
            painter.drawText(QRect(plot.right() + 7, y - labelH / 2, size.width(), labelH),
                             Qt::AlignLeft | Qt::AlignVCenter, tickText(v, step));
        }
    }
    {
        const qint64 span = picture.t1 - picture.t0 + 1;
        const int maxLabels = std::max(2, plot.width() / (fm.horizontalAdvance("00:00:00") + 30));
        qint64 step = kTimeSteps[std::size(kTimeSteps) - 1];
        for (qint64 s : kTimeSteps)
            if (span / s <= maxLabels) {
                step = s;
                break;
            }
        const qint64 offset =
            qint64(QDateTime::fromMSecsSinceEpoch(picture.t1).offsetFromUtc()) * 1000;
        const QString format = span > 20 * 3600 * 1000 ? QStringLiteral("d MMM HH:mm")
                               : step < 60000          ? QStringLiteral("HH:mm:ss")
                                                       : QStringLiteral("HH:mm");
        qint64 t = (picture.t0 + offset + step - 1) / step * step - offset;
        for (; t <= picture.t1; t += step) {
            const int cx = plot.left() + picture.columnOf(t);
            painter.setPen(kGrid);
            painter.drawLine(cx, plot.top(), cx, plot.bottom());
            painter.setPen(Qt::black);
            const QString text = QDateTime::fromMSecsSinceEpoch(t).toString(format);
            const int w = fm.horizontalAdvance(text);
            painter.drawText(std::clamp(cx - w / 2, 0, size.width() - w),
                             plot.bottom() + 4 + fm.ascent(), text);
        }
    }
    painter.setPen(kFrame);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(plot.adjusted(0, 0, -1, -1));

    if (picture.points == 0) {
        painter.setPen(Qt::darkGray);
        painter.drawText(plot, Qt::AlignCenter,
                         m_model.pointCount() ? QStringLiteral("No readings in this span")
                                              : QStringLiteral("No readings yet"));
        return;
    }

    // The lines: per column the first, lowest, highest and last value.
    painter.save();
    painter.setClipRect(plot);
    // Smooth lines while the picture is sparse; a dense one is a band either way, and plain
    // lines draw it in half the time.
    painter.setRenderHint(QPainter::Antialiasing, picture.points <= qsizetype(plot.width()) * 8);
    auto drawSeries = [&](int series, const Axis &axis, bool stepped) {
        const SeriesPicture &s = picture.series[size_t(series)];
        if (!axis.valid) return;
        // A one-pixel cosmetic pen takes the raster engine's fast line path; a wider pen would
        // outline every column's vertical stroke and cost seconds at a million points.
        QPen pen(colourOf(series), 1);
        pen.setCosmetic(true);
        painter.setPen(pen);
        painter.setBrush(colourOf(series));
        m_line.clear();
        auto flush = [&] {
            if (m_line.size() >= 2)
                painter.drawPolyline(m_line);
            else if (m_line.size() == 1)
                painter.drawEllipse(m_line[0], 1.5, 1.5);
            m_line.clear();
        };
        bool havePrev = false;
        double prevLast = 0;
        if (stepped && std::isfinite(picture.pressureBefore)) {
            m_line << QPointF(plot.left(), axis.y(picture.pressureBefore, plot));
            havePrev = true;
            prevLast = picture.pressureBefore;
        }
        for (int c = 0; c < int(s.columns.size()); ++c) {
            const Column &col = s.columns[size_t(c)];
            if (!col.hasValue) continue;
            const double cx = plot.left() + c + 0.5;
            if (col.breakBefore) {
                flush();
                havePrev = false;
            }
            if (stepped && havePrev) m_line << QPointF(cx, axis.y(prevLast, plot));
            m_line << QPointF(cx, axis.y(col.first, plot));
            if (col.min != col.max)
                m_line << QPointF(cx, axis.y(col.min, plot)) << QPointF(cx, axis.y(col.max, plot));
            if (col.last != col.first || col.min != col.max)
                m_line << QPointF(cx, axis.y(col.last, plot));
            prevLast = col.last;
            havePrev = true;
        }
        if (stepped && havePrev && std::isfinite(picture.pressureAtEnd))
            m_line << QPointF(plot.left() + picture.columnOf(picture.t1) + 0.5,
                              axis.y(prevLast, plot));
        flush();
    };
    // The pressure first: the channels stay in view where the lines cross.
    if (picture.hasPressure) drawSeries(Picture::Pressure, right, true);
    for (int k = 1; k <= TrendModel::Channels; ++k)
        drawSeries(k, left, false);
    painter.restore();
}

void TrendPlot::paintEvent(QPaintEvent *)
{
    if (m_dirty || m_image.isNull()) build();
    QPainter painter(this);
    painter.drawImage(0, 0, m_image);
    if (m_hoverX >= 0) drawHover(painter);
}

void TrendPlot::drawHover(QPainter &painter)
{
    const Layout l = layoutFor(size());
    const QRect plot = l.plot;
    if (m_hoverX < plot.left() || m_hoverX > plot.right()) return;
    const int c = std::clamp(m_hoverX - plot.left(), 0, m_picture.columnCount - 1);

    QStringList lines;
    lines << QDateTime::fromMSecsSinceEpoch(m_picture.msOfColumn(c + 0.5))
                 .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QLocale locale;
    auto valueText = [&](double v) { return locale.toString(v, 'g', 7); };
    const int channels = m_model.channelCount(m_sensor);
    for (int k = 1; k <= channels; ++k) {
        const auto &cols = m_picture.series[size_t(k)].columns;
        QString text = QStringLiteral("–");
        for (int d = 0; d <= 4; ++d) {
            const int a = c - d, b = c + d;
            if (a >= 0 && cols[size_t(a)].hasValue) {
                text = valueText(cols[size_t(a)].last);
                break;
            }
            if (b < int(cols.size()) && cols[size_t(b)].hasValue) {
                text = valueText(cols[size_t(b)].first);
                break;
            }
        }
        lines << m_model.channelName(m_sensor, k) + QStringLiteral(": ") + text;
    }
    if (m_picture.hasPressure) {
        const auto &cols = m_picture.series[Picture::Pressure].columns;
        double v = std::numeric_limits<double>::quiet_NaN();
        bool found = false;
        for (int a = c; a >= 0 && !found; --a)
            if (cols[size_t(a)].hasValue) {
                v = cols[size_t(a)].last;
                found = true;
            }
        if (!found) v = m_picture.pressureBefore;
        if (c > m_picture.columnOf(m_picture.t1)) v = std::numeric_limits<double>::quiet_NaN();
        lines << TrendModel::pressureName() + QStringLiteral(": ") +
                     (std::isfinite(v) ? valueText(v) : QStringLiteral("–"));
    }

    painter.setPen(QPen(QColor(0, 0, 0, 120), 1, Qt::DashLine));
    painter.drawLine(m_hoverX, plot.top(), m_hoverX, plot.bottom());
    const QFontMetrics fm = fontMetrics();
    int w = 0;
    for (const QString &s : lines)
        w = std::max(w, fm.horizontalAdvance(s));
    QRect box(0, 0, w + 12, int(lines.size()) * fm.height() + 8);
    box.moveTopLeft(QPoint(m_hoverX + 10, plot.top() + 6));
    if (box.right() > plot.right()) box.moveRight(m_hoverX - 10);
    painter.setPen(kFrame);
    painter.setBrush(QColor(255, 255, 240, 235));
    painter.drawRect(box);
    painter.setPen(Qt::black);
    for (int i = 0; i < int(lines.size()); ++i)
        painter.drawText(box.left() + 6, box.top() + 4 + fm.ascent() + i * fm.height(), lines[i]);
}

void TrendPlot::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_dirty = true;
}

void TrendPlot::mouseMoveEvent(QMouseEvent *event)
{
    m_hoverX = int(event->position().x());
    update();
}

void TrendPlot::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    m_hoverX = -1;
    update();
}

} // namespace trend
