#include "app/trend/TrendPlot.h"

#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>

#include <QPaintEvent>

#include <algorithm>
#include <cmath>
#include <cstring>

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
        if (!onScreen()) return;
        build();
        update(m_changed);
    });
}

void TrendPlot::setSensor(int sensor)
{
    if (sensor == m_sensor) return;
    m_sensor = sensor;
    // The choice may follow readings of several sensors by turns: the next frame shows the
    // newest one's picture, kept up to date from where it was left.
    if (!onScreen())
        m_dirty = true;
    else if (m_image.isNull())
        update();
    else if (!m_rebuild.isActive())
        m_rebuild.start(rebuildInterval());
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
    // A new frame once the newest data has moved a pixel column.
    const auto [t0, t1] = timeSpan();
    const qint64 perColumn = (t1 - t0) / std::max(1, layoutFor(size()).plot.width());
    return int(std::clamp<qint64>(perColumn, 50, 1500));
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
    m_drawn.valid = false;
    m_kept.clear();
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

std::pair<qint64, qint64> TrendPlot::pictureSpan(QSize size, qint64 *columnMs) const
{
    *columnMs = 0;
    if (m_span <= 0 || m_model.pointCount() == 0) return timeSpan();
    // Whole columns of whole milliseconds (the span grows by less than a column): a time falls
    // in the same column of every picture, shifted by whole columns as time goes on.
    const qint64 columns = layoutFor(size).plot.width();
    const qint64 perColumn = (m_span + columns - 1) / columns;
    const qint64 last = m_model.lastMs() / perColumn;
    *columnMs = perColumn;
    return {(last + 1 - columns) * perColumn, (last + 1) * perColumn - 1};
}

TrendPlot::Axis TrendPlot::axisFor(double lo, double hi, const Axis &now) const
{
    Axis a;
    if (!(lo <= hi)) return a;
    // An axis that holds the data and is not much wider than it stays, so the picture need
    // not be drawn again for every new extreme.
    if (now.valid && lo >= now.lo && hi <= now.hi && (hi - lo) >= (now.hi - now.lo) * 0.4 &&
        hi > lo)
        return now;
    a.valid = true;
    const double range = hi - lo;
    if (range > 0) {
        // The data's range with a margin, out to a tenth of a tick step.
        const double margin = range * 0.05;
        const double step = niceStep(range + 2 * margin, 50);
        a.lo = std::floor((lo - margin) / step) * step;
        a.hi = std::ceil((hi + margin) / step) * step;
    } else {
        // A flat line sits in the middle.
        const double margin = std::max(0.5, std::abs(lo) * 0.05);
        a.lo = lo - margin;
        a.hi = hi + margin;
    }
    return a;
}

QString TrendPlot::legendKey() const
{
    QString key = m_sensor >= 0 ? m_model.sensors().value(m_sensor) : QString();
    const int channels = m_model.channelCount(m_sensor);
    for (int k = 1; k <= channels; ++k)
        key += u'\n' + m_model.channelName(m_sensor, k);
    return key;
}

void TrendPlot::build()
{
    if (m_drawn.valid && m_drawn.sensor != m_sensor) {
        // Keep the picture of the sensor shown until now, and take up the new one's.
        auto kept = std::find_if(m_kept.begin(), m_kept.end(),
                                 [&](const Kept &k) { return k.drawn.sensor == m_sensor; });
        Kept old{m_image, m_drawn};
        if (kept != m_kept.end()) {
            m_image = kept->image;
            m_drawn = kept->drawn;
            m_kept.erase(kept);
        } else {
            m_image = QImage();
            m_drawn.valid = false;
        }
        m_kept.insert(m_kept.begin(), std::move(old));
        if (m_kept.size() > 3) m_kept.pop_back();
    }
    const Layout l = layoutFor(size());
    qint64 columnMs = 0;
    const auto [t0, t1] = pictureSpan(size(), &columnMs);
    m_model.decimate(m_sensor, t0, t1, l.plot.width(), m_pressureShown, m_picture);
    const qreal dpr = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * dpr).toSize();
    if (m_image.size() != pixels) {
        m_image = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        m_image.setDevicePixelRatio(dpr);
        m_drawn.valid = false;
    }

    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    for (int k = 1; k <= TrendModel::Channels; ++k) {
        lo = std::min(lo, m_picture.series[size_t(k)].lo);
        hi = std::max(hi, m_picture.series[size_t(k)].hi);
    }
    const SeriesPicture &p = m_picture.series[Picture::Pressure];
    Drawn now;
    now.valid = true;
    now.size = size();
    now.dpr = dpr;
    now.sensor = m_sensor;
    now.pressure = m_pressureShown;
    now.antialiased = m_picture.points <= qsizetype(l.plot.width()) * 8;
    now.left = axisFor(lo, hi, m_drawn.valid ? m_drawn.left : Axis{});
    now.right =
        m_pressureShown ? axisFor(p.lo, p.hi, m_drawn.valid ? m_drawn.right : Axis{}) : Axis{};
    now.legend = legendKey();
    now.columnMs = columnMs;
    now.endColumn = columnMs > 0 ? (t1 + 1) / columnMs - 1 : 0;

    const int columns = l.plot.width();
    const qint64 shift = now.endColumn - m_drawn.endColumn;
    const bool incremental = m_drawn.valid && dpr == 1 && columnMs > 0 && m_picture.points > 0 &&
                             now.size == m_drawn.size && now.sensor == m_drawn.sensor &&
                             now.pressure == m_drawn.pressure &&
                             now.antialiased == m_drawn.antialiased && now.left == m_drawn.left &&
                             now.right == m_drawn.right && now.legend == m_drawn.legend &&
                             now.columnMs == m_drawn.columnMs && shift >= 0 && shift < columns - 4;
    QPainter painter(&m_image);
    const bool otherPicture = m_changedSensor != m_sensor;
    m_changedSensor = m_sensor;
    if (incremental) {
        // Shift the plot's picture left by whole columns, then draw the newest columns (the
        // one that was the newest may have gained points), column 0 (under the frame), the
        // time labels and the value labels that reach below the plot.
        const QRect plot = l.plot;
        const int d = int(shift);
        if (d > 0) {
            for (int y = plot.top(); y <= plot.bottom(); ++y) {
                auto *row = reinterpret_cast<QRgb *>(m_image.scanLine(y)) + plot.left();
                std::memmove(row, row + d, size_t(columns - d) * sizeof(QRgb));
            }
        }
        const int first = std::max(1, columns - 2 - d);
        const QRect tail(plot.left() + first, plot.top(), columns - first, plot.height());
        const QRect strip(0, plot.bottom() + 1, width(), height() - plot.bottom() - 1);
        const QRect edge(plot.left(), plot.top(), 1, plot.height());
        painter.setClipRegion(QRegion(tail) + QRegion(strip) + QRegion(edge));
        drawPicture(painter, m_picture, size(), now.left, now.right, first);
        m_changed = otherPicture ? rect() : (d > 0 ? plot : tail | edge) | strip;
    } else {
        drawPicture(painter, m_picture, size(), now.left, now.right);
        m_changed = rect();
        ++m_fullDraws;
    }
    m_drawn = now;
    m_dirty = false;
    ++m_builds;
    emit pictureBuilt(m_picture.points);
}

void TrendPlot::render(QPainter &painter, QSize size) const
{
    const Layout l = layoutFor(size);
    qint64 columnMs = 0;
    const auto [t0, t1] = pictureSpan(size, &columnMs);
    Picture picture;
    m_model.decimate(m_sensor, t0, t1, l.plot.width(), m_pressureShown, picture);
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    for (int k = 1; k <= TrendModel::Channels; ++k) {
        lo = std::min(lo, picture.series[size_t(k)].lo);
        hi = std::max(hi, picture.series[size_t(k)].hi);
    }
    const SeriesPicture &p = picture.series[Picture::Pressure];
    // The axes of the picture on screen, when it is of this size: the same picture.
    const bool same = m_drawn.valid && m_drawn.size == size;
    drawPicture(painter, picture, size, axisFor(lo, hi, same ? m_drawn.left : Axis{}),
                picture.hasPressure ? axisFor(p.lo, p.hi, same ? m_drawn.right : Axis{}) : Axis{});
}

const QStaticText &TrendPlot::label(const QString &text) const
{
    // Labels are laid out once and kept: most of them are drawn again and again.
    auto it = m_texts.find(text);
    if (it == m_texts.end()) {
        if (m_texts.size() > 2000) m_texts.clear();
        QStaticText st(text);
        st.setTextFormat(Qt::PlainText);
        st.prepare(QTransform(), font());
        it = m_texts.insert(text, st);
    }
    return *it;
}

void TrendPlot::drawText(QPainter &painter, int x, int y, const QString &text) const
{
    painter.drawStaticText(x, y, label(text));
}

void TrendPlot::drawPicture(QPainter &painter, const Picture &picture, QSize size, const Axis &left,
                            const Axis &right, int firstColumn) const
{
    const QRect plot = layoutFor(size).plot;
    const bool whole = firstColumn <= 0;
    painter.setFont(font());
    painter.fillRect(QRect(QPoint(0, 0), size), Qt::white);
    if (whole) drawLegend(painter, picture, plot, size.width());
    drawValueAxes(painter, plot, left, right);
    drawTimeAxis(painter, picture, plot, size.width());
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
    painter.save();
    painter.setClipRect(plot, whole ? Qt::ReplaceClip : Qt::IntersectClip);
    // Smooth lines while the picture is sparse; a dense one is a band either way, and plain
    // lines draw it in half the time.
    painter.setRenderHint(QPainter::Antialiasing, picture.points <= qsizetype(plot.width()) * 8);
    // The pressure first: the channels stay in view where the lines cross.
    if (picture.hasPressure)
        drawSeries(painter, picture, plot, Picture::Pressure, right, firstColumn);
    for (int k = 1; k <= TrendModel::Channels; ++k)
        drawSeries(painter, picture, plot, k, left, firstColumn);
    painter.restore();
}

int TrendPlot::labelWidth(const QString &text) const
{
    return int(std::ceil(label(text).size().width()));
}

void TrendPlot::drawLegend(QPainter &painter, const Picture &picture, const QRect &plot,
                           int width) const
{
    // The sensor, then a swatch and a name per series, as many as fit.
    const QFontMetrics fm = fontMetrics();
    int x = plot.left();
    const int legendY = 4;
    painter.setPen(Qt::black);
    if (m_sensor >= 0) {
        const QString title = QStringLiteral("Sensor ") + m_model.sensors().value(m_sensor);
        drawText(painter, x, legendY, title);
        x += fm.horizontalAdvance(title) + 16;
    }
    auto legendItem = [&](int series, const QString &name) {
        if (x + 20 + fm.horizontalAdvance(name) > width) return;
        painter.setPen(QPen(colourOf(series), 2));
        const int my = legendY + fm.height() / 2;
        painter.drawLine(x, my, x + 14, my);
        painter.setPen(Qt::black);
        drawText(painter, x + 18, legendY, name);
        x += 18 + fm.horizontalAdvance(name) + 14;
    };
    const int channels = m_model.channelCount(m_sensor);
    for (int k = 1; k <= channels; ++k)
        legendItem(k, m_model.channelName(m_sensor, k));
    if (picture.hasPressure) legendItem(Picture::Pressure, TrendModel::pressureName());
}

void TrendPlot::drawValueAxes(QPainter &painter, const QRect &plot, const Axis &left,
                              const Axis &right) const
{
    // The channels' axis: a grid line across the plot and a label at the left per step. The
    // pressure's: a tick and a label at the right per step.
    const int labelH = fontMetrics().height();
    const int ticks = std::max(2, plot.height() / (labelH * 2));
    if (left.valid) {
        const double step = niceStep(left.hi - left.lo, ticks);
        for (double v = std::ceil(left.lo / step) * step; v <= left.hi; v += step) {
            const int y = int(std::lround(left.y(v, plot)));
            painter.setPen(kGrid);
            painter.drawLine(plot.left(), y, plot.right(), y);
            painter.setPen(Qt::black);
            const QString text = tickText(v, step);
            drawText(painter, plot.left() - 6 - labelWidth(text), y - labelH / 2, text);
        }
    }
    if (right.valid) {
        const double step = niceStep(right.hi - right.lo, ticks);
        painter.setPen(kPressureColour);
        for (double v = std::ceil(right.lo / step) * step; v <= right.hi; v += step) {
            const int y = int(std::lround(right.y(v, plot)));
            painter.drawLine(plot.right(), y, plot.right() + 4, y);
            drawText(painter, plot.right() + 7, y - labelH / 2, tickText(v, step));
        }
    }
}

void TrendPlot::drawTimeAxis(QPainter &painter, const Picture &picture, const QRect &plot,
                             int width) const
{
    // A grid line down the plot and a local-time label under it at whole steps of local time,
    // the step chosen so that the labels do not crowd.
    const QFontMetrics fm = fontMetrics();
    const qint64 span = picture.t1 - picture.t0 + 1;
    const int maxLabels = std::max(2, plot.width() / (fm.horizontalAdvance("00:00:00") + 30));
    qint64 step = kTimeSteps[std::size(kTimeSteps) - 1];
    for (qint64 s : kTimeSteps)
        if (span / s <= maxLabels) {
            step = s;
            break;
        }
    const qint64 offset = qint64(QDateTime::fromMSecsSinceEpoch(picture.t1).offsetFromUtc()) * 1000;
    const QString format = span > 20 * 3600 * 1000 ? QStringLiteral("d MMM HH:mm")
                           : step < 60000          ? QStringLiteral("HH:mm:ss")
                                                   : QStringLiteral("HH:mm");
    for (qint64 t = (picture.t0 + offset + step - 1) / step * step - offset; t <= picture.t1;
         t += step) {
        const int cx = plot.left() + picture.columnOf(t);
        painter.setPen(kGrid);
        painter.drawLine(cx, plot.top(), cx, plot.bottom());
        painter.setPen(Qt::black);
        const QString text = QDateTime::fromMSecsSinceEpoch(t + offset, Qt::UTC).toString(format);
        const int w = labelWidth(text);
        drawText(painter, std::clamp(cx - w / 2, 0, width - w), plot.bottom() + 4, text);
    }
}

void TrendPlot::drawSeries(QPainter &painter, const Picture &picture, const QRect &plot, int series,
                           const Axis &axis, int firstColumn) const
{
    // Per column the first, lowest, highest and last value. The pressure holds its value until
    // the next one: its line steps, from the value before the span to the span's end.
    const SeriesPicture &s = picture.series[size_t(series)];
    if (!axis.valid) return;
    const bool stepped = series == Picture::Pressure;
    // Column 0 and the columns from firstColumn on (with the one before, for the line into
    // them); all of them when drawing the whole picture.
    const bool whole = firstColumn <= 0;
    auto wanted = [&](int c) { return whole || c <= 1 || c >= firstColumn - 1; };
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
        if (!wanted(c)) {
            // Not drawn: only where the next drawn column's line starts from.
            if (m_line.size() >= 2) flush();
            m_line.clear();
            m_line << QPointF(cx, axis.y(col.last, plot));
            prevLast = col.last;
            havePrev = true;
            continue;
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
        m_line << QPointF(plot.left() + picture.columnOf(picture.t1) + 0.5, axis.y(prevLast, plot));
    flush();
}

void TrendPlot::paintEvent(QPaintEvent *event)
{
    if (m_dirty || m_image.isNull()) build();
    QPainter painter(this);
    const QRect r = event->rect();
    painter.drawImage(r, m_image,
                      QRectF(QPointF(r.topLeft()) * m_image.devicePixelRatio(),
                             QSizeF(r.size()) * m_image.devicePixelRatio()));
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
