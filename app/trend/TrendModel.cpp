#include "app/trend/TrendModel.h"

#include <QDateTime>
#include <QIODevice>

#include <algorithm>

namespace trend {

namespace {

// Where a point of `series` goes among a picture's or a row's slots: 0 the pressure (when
// shown), k channel k of the sensor whose first series is `base`; -1 not shown.
int slotOf(int series, int base, bool withPressure, int channels)
{
    if (series == TrendModel::PressureSeries) return withPressure ? 0 : -1;
    const int k = series - base + 1;
    return k >= 1 && k <= channels ? k : -1;
}

// Times are kept in 48 bits; anything outside a few thousand years of the epoch is clamped.
constexpr qint64 kMaxMs = qint64(1) << 46;

QByteArray csvCell(const QString &text)
{
    const bool quote =
        text.contains(u',') || text.contains(u'"') || text.contains(u'\r') || text.contains(u'\n');
    if (!quote) return text.toUtf8();
    QString q = text;
    q.replace(u'"', QStringLiteral("\"\""));
    return '"' + q.toUtf8() + '"';
}

QByteArray isoTime(qint64 ms)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs).toLatin1();
}

QByteArray numberCell(double v)
{
    if (!std::isfinite(v)) return {};
    return QByteArray::number(v, 'g', QLocale::FloatingPointShortest);
}

} // namespace

bool PointRing::push(qint64 key, double value, Point &dropped)
{
    if (size() < m_capacity) {
        m_points.push_back({key, value});
        return false;
    }
    Point &slot = m_points[size_t(m_head)];
    dropped = slot;
    slot = {key, value};
    if (++m_head == size()) m_head = 0;
    return true;
}

qsizetype PointRing::lowerBound(qint64 ms) const
{
    qsizetype lo = 0;
    qsizetype hi = size();
    while (lo < hi) {
        const qsizetype mid = lo + (hi - lo) / 2;
        if (msAt(mid) < ms)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

int Picture::columnOf(qint64 ms) const
{
    const double span = double(std::max<qint64>(1, t1 - t0 + 1));
    return std::clamp(int(double(ms - t0) * columnCount / span), 0, std::max(0, columnCount - 1));
}

qint64 Picture::msOfColumn(double column) const
{
    const double span = double(std::max<qint64>(1, t1 - t0 + 1));
    return t0 + qint64(column * span / std::max(1, columnCount));
}

TrendModel::TrendModel(qsizetype bound) : m_bound(std::max<qsizetype>(1, bound)), m_points(m_bound)
{
}

void TrendModel::push(qint64 ms, int series, double value)
{
    // Times never go back in the store, so a picture's span is found by bisection: a clock set
    // back piles its points at the newest time held until it catches up.
    ms = std::clamp<qint64>(ms, 0, kMaxMs);
    if (ms < m_lastMs) ms = m_lastMs;
    m_lastMs = ms;
    PointRing::Point dropped;
    if (m_points.push(PointRing::keyOf(ms, series), value, dropped)) {
        ++m_dropped;
        if (PointRing::seriesOf(dropped.key) == PressureSeries) --m_pressurePoints;
    }
}

int TrendModel::addReading(qint64 ms, const primary::Reading &reading)
{
    if (!reading.sensorId) return -1;
    int sensor = m_sensorIndex.value(*reading.sensorId, -1);
    if (sensor < 0) {
        // Each identifier is kept for the list; a line that names a new one each time (noise)
        // must not grow it without end.
        if (m_sensors.size() >= MaxSensors) return -1;
        sensor = int(m_sensors.size());
        m_sensors.append(*reading.sensorId);
        m_sensorIndex.insert(*reading.sensorId, sensor);
        m_units.emplace_back();
        m_channelCount.push_back(0);
    }
    auto &units = m_units[size_t(sensor)];
    const int count = std::min<int>(Channels, int(reading.channels.size()));
    for (int k = 1; k <= count; ++k) {
        const primary::Channel &channel = reading.channels[k - 1];
        if (units[size_t(k)] != channel.unit) units[size_t(k)] = channel.unit;
        m_channelCount[size_t(sensor)] = std::max(m_channelCount[size_t(sensor)], k);
        push(ms, sensor * Channels + k - 1,
             channel.value.value_or(std::numeric_limits<double>::quiet_NaN()));
    }
    return sensor;
}

void TrendModel::addPressure(qint64 ms, double value)
{
    if (!std::isfinite(value)) value = std::numeric_limits<double>::quiet_NaN();
    push(ms, PressureSeries, value);
    ++m_pressurePoints;
    m_lastPressureMs = m_lastMs;
    m_lastPressure = value;
}

QString TrendModel::unit(int sensor, int k) const
{
    if (sensor < 0 || sensor >= int(m_units.size()) || k < 1 || k > Channels) return {};
    return m_units[size_t(sensor)][size_t(k)];
}

int TrendModel::channelCount(int sensor) const
{
    if (sensor < 0 || sensor >= int(m_units.size())) return 0;
    return m_channelCount[size_t(sensor)];
}

QString TrendModel::channelName(int sensor, int k) const
{
    const QString u = unit(sensor, k).trimmed();
    const QString name = QStringLiteral("Channel %1").arg(k);
    return u.isEmpty() ? name : name + QStringLiteral(" (") + u + u')';
}

qint64 TrendModel::firstMs() const
{
    return m_points.size() ? m_points.msAt(0) : 0;
}

double TrendModel::pressureBefore(qsizetype index) const
{
    if (m_pressurePoints == 0) return std::numeric_limits<double>::quiet_NaN();
    if (index >= m_points.size()) return m_lastPressure;
    for (qsizetype i = index - 1; i >= 0; --i) {
        const auto &p = m_points.at(i);
        if (PointRing::seriesOf(p.key) == PressureSeries) return p.value;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

void TrendModel::decimate(int sensor, qint64 t0, qint64 t1, int columns, bool withPressure,
                          Picture &out) const
{
    columns = std::max(1, columns);
    out.t0 = t0;
    out.t1 = std::max(t0, t1);
    out.columnCount = columns;
    out.points = 0;
    out.hasPressure = withPressure;
    out.pressureBefore = std::numeric_limits<double>::quiet_NaN();
    out.pressureAtEnd = std::numeric_limits<double>::quiet_NaN();
    for (SeriesPicture &s : out.series) {
        s.columns.assign(size_t(columns), Column{});
        s.points = 0;
        s.lo = std::numeric_limits<double>::infinity();
        s.hi = -std::numeric_limits<double>::infinity();
    }

    const qsizetype from = m_points.lowerBound(out.t0);
    const qsizetype to = m_points.lowerBound(out.t1 + 1);
    const int base = sensor >= 0 ? sensor * Channels : -(1 << 20);
    const double scale = double(columns) / double(out.t1 - out.t0 + 1);
    std::array<bool, 10> pendingGap{};

    m_points.forRange(from, to, [&](const PointRing::Point *p, qsizetype n) {
        for (qsizetype i = 0; i < n; ++i) {
            const int idx = slotOf(PointRing::seriesOf(p[i].key), base, withPressure, Channels);
            if (idx < 0) continue;
            SeriesPicture &s = out.series[size_t(idx)];
            ++s.points;
            const double v = p[i].value;
            if (std::isnan(v)) {
                pendingGap[size_t(idx)] = true;
                continue;
            }
            const int c =
                std::min(columns - 1, int(double(PointRing::msOf(p[i].key) - out.t0) * scale));
            Column &col = s.columns[size_t(c)];
            if (!col.hasValue) {
                col = {v, v, v, v, true, pendingGap[size_t(idx)]};
            } else {
                col.min = std::min(col.min, v);
                col.max = std::max(col.max, v);
                col.last = v;
            }
            // A gap and a value again within one column cannot be seen at this scale.
            pendingGap[size_t(idx)] = false;
            s.lo = std::min(s.lo, v);
            s.hi = std::max(s.hi, v);
        }
    });

    for (const SeriesPicture &s : out.series)
        out.points += s.points;
    if (withPressure) {
        out.pressureBefore = pressureBefore(from);
        out.pressureAtEnd = out.t1 >= m_lastPressureMs ? m_lastPressure : pressureBefore(to);
        SeriesPicture &p = out.series[Picture::Pressure];
        if (std::isfinite(out.pressureBefore)) {
            p.lo = std::min(p.lo, out.pressureBefore);
            p.hi = std::max(p.hi, out.pressureBefore);
        }
    }
}

qsizetype TrendModel::writeCsv(QIODevice &out, int sensor, qint64 t0, qint64 t1,
                               bool withPressure) const
{
    const int n = channelCount(sensor);
    QByteArray buffer = "Time";
    for (int k = 1; k <= n; ++k)
        buffer += ',' + csvCell(channelName(sensor, k));
    if (withPressure) buffer += ',' + csvCell(pressureName());
    buffer += "\r\n";

    // cells[0] is the pressure, cells[k] channel k; a NaN cell is a gap, an unset one empty.
    std::vector<double> cells(size_t(n) + 1);
    std::vector<bool> set(size_t(n) + 1);
    bool open = false;
    qint64 rowMs = 0;
    qsizetype rows = 0;
    bool ok = true;
    auto flush = [&] {
        if (!open) return;
        buffer += isoTime(rowMs);
        for (int k = 1; k <= n; ++k) {
            buffer += ',';
            if (set[size_t(k)]) buffer += numberCell(cells[size_t(k)]);
        }
        if (withPressure) {
            buffer += ',';
            if (set[0]) buffer += numberCell(cells[0]);
        }
        buffer += "\r\n";
        ++rows;
        open = false;
        std::fill(set.begin(), set.end(), false);
        if (buffer.size() >= 1 << 16) {
            ok = ok && out.write(buffer) == buffer.size();
            buffer.clear();
        }
    };

    const int base = sensor >= 0 ? sensor * Channels : -(1 << 20);
    const qsizetype from = m_points.lowerBound(t0);
    const qsizetype to = m_points.lowerBound(t1 + 1);
    for (qsizetype i = from; i < to && ok; ++i) {
        const auto &p = m_points.at(i);
        const int idx = slotOf(PointRing::seriesOf(p.key), base, withPressure, n);
        if (idx < 0) continue;
        const qint64 ms = PointRing::msOf(p.key);
        // A row per reading and per pressure change; what shares a time stamp shares a row.
        if (open && (ms != rowMs || set[size_t(idx)])) flush();
        if (!open) {
            open = true;
            rowMs = ms;
        }
        cells[size_t(idx)] = p.value;
        set[size_t(idx)] = true;
    }
    flush();
    ok = ok && out.write(buffer) == buffer.size();
    return ok ? rows : -1;
}

} // namespace trend
