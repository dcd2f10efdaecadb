#include "app/trend/TrendModel.h"

#include "app/trend/SaveTarget.h"

#include <QDateTime>
#include <QFile>
#include <QIODevice>
#include <QRegularExpression>

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

// The local time with its offset. Finding the offset asks the time zone rules (and the C
// library looks at the zone file each time), so it is found once per quarter of an hour, the
// finest step by which an offset changes.
class IsoTime {
public:
    QByteArray operator()(qint64 ms)
    {
        const qint64 quarter = ms >= 0 ? ms / 900'000 : (ms - 899'999) / 900'000;
        if (quarter != m_quarter) {
            m_quarter = quarter;
            m_offset = QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc();
        }
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, m_offset)
            .toString(Qt::ISODateWithMs)
            .toLatin1();
    }

private:
    qint64 m_quarter = std::numeric_limits<qint64>::min();
    int m_offset = 0;
};

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
    // In whole numbers: a span of whole columns puts each time in the same column, whichever
    // picture of it is drawn.
    const qint64 span = std::max<qint64>(1, t1 - t0 + 1);
    const qint64 c = ms < t0 ? -1 : (ms - t0) * columnCount / span;
    return int(std::clamp<qint64>(c, 0, std::max(0, columnCount - 1)));
}

qint64 Picture::msOfColumn(double column) const
{
    const double span = double(std::max<qint64>(1, t1 - t0 + 1));
    return t0 + qint64(column * span / std::max(1, columnCount));
}

TrendModel::TrendModel(qsizetype bound, int maxSensors)
    : m_bound(std::max<qsizetype>(1, bound)), m_points(m_bound),
      m_maxSensors(std::max(2, maxSensors))
{
}

QByteArray TrendModel::csvCell(const QString &text)
{
    // A spreadsheet reads a cell that starts with one of these as a formula; a number stays.
    QString cell = text;
    // Only the shape of a number is looked at: the cell is text, and no value is read from it.
    static const QRegularExpression number(
        QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
    if (!cell.isEmpty() && QStringView(u"=+-@").contains(cell.front()) &&
        !number.match(cell).hasMatch())
        cell.prepend(u'\'');
    // Quoted also for readers that split on ';' or a tab.
    const bool quote = cell.contains(u',') || cell.contains(u'"') || cell.contains(u'\r') ||
                       cell.contains(u'\n') || cell.contains(u';') || cell.contains(u'\t');
    if (!quote) return cell.toUtf8();
    cell.replace(u'"', QStringLiteral("\"\""));
    return '"' + cell.toUtf8() + '"';
}

void TrendModel::push(qint64 ms, int series, double value, bool startsReading)
{
    // Times never go back in the store, so a picture's span is found by bisection: a clock set
    // back piles its points at the newest time held until it catches up.
    ms = std::clamp<qint64>(ms, 0, kMaxMs);
    if (ms < m_lastMs) ms = m_lastMs;
    m_lastMs = ms;
    PointRing::Point dropped;
    if (m_points.push(PointRing::keyOf(ms, series, startsReading), value, dropped)) {
        ++m_dropped;
        if (PointRing::seriesOf(dropped.key) == PressureSeries) --m_pressurePoints;
    }
}

int TrendModel::sensorSlot(const QString &id)
{
    int sensor = m_sensorIndex.value(id, -1);
    if (sensor < 0 && m_sensors.size() < m_maxSensors) {
        sensor = int(m_sensors.size());
        m_sensors.append(id);
        m_units.emplace_back();
        m_channelCount.push_back(0);
        m_lastSeen.push_back(0);
        m_firstPoint.push_back(0);
        ++m_sensorListChanges;
    } else if (sensor < 0) {
        // A line that names a new identifier each time (noise) must not grow the list without
        // end, nor shut out the sensors that come after it: the one seen longest ago goes (never
        // the one shown), and its points stay out of its successor's picture.
        sensor = m_pinned == 0 ? 1 : 0;
        for (int i = 0; i < int(m_lastSeen.size()); ++i)
            if (i != m_pinned && m_lastSeen[size_t(i)] < m_lastSeen[size_t(sensor)]) sensor = i;
        m_sensorIndex.remove(m_sensors[sensor]);
        m_sensors[sensor] = id;
        m_units[size_t(sensor)] = {};
        m_channelCount[size_t(sensor)] = 0;
        m_firstPoint[size_t(sensor)] = m_dropped + m_points.size();
        ++m_sensorsDropped;
        ++m_sensorListChanges;
    }
    if (m_sensorIndex.value(id, -1) != sensor) m_sensorIndex.insert(id, sensor);
    m_lastSeen[size_t(sensor)] = ++m_seen;
    return sensor;
}

int TrendModel::addReading(qint64 ms, const primary::Reading &reading)
{
    if (!reading.sensorId) return -1;
    const int sensor = sensorSlot(*reading.sensorId);
    auto &units = m_units[size_t(sensor)];
    bool first = true;
    const int count = std::min<int>(Channels, int(reading.channels.size()));
    for (int k = 1; k <= count; ++k) {
        const primary::Channel &channel = reading.channels[k - 1];
        if (units[size_t(k)] != channel.unit) units[size_t(k)] = channel.unit;
        m_channelCount[size_t(sensor)] = std::max(m_channelCount[size_t(sensor)], k);
        push(ms, sensor * Channels + k - 1,
             channel.value.value_or(std::numeric_limits<double>::quiet_NaN()), first);
        first = false;
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
    const qint64 span = out.t1 - out.t0 + 1;
    std::array<bool, 10> pendingGap{};
    // Points before the sensor's first one are a dropped identifier's.
    qsizetype ownFrom = firstPointOf(sensor) - from;

    m_points.forRange(from, to, [&](const PointRing::Point *p, qsizetype n) {
        for (qsizetype i = 0; i < n; ++i, --ownFrom) {
            const int idx = slotOf(PointRing::seriesOf(p[i].key), base, withPressure, Channels);
            if (idx < 0 || (idx > 0 && ownFrom > 0)) continue;
            SeriesPicture &s = out.series[size_t(idx)];
            ++s.points;
            const double v = p[i].value;
            if (std::isnan(v)) {
                pendingGap[size_t(idx)] = true;
                continue;
            }
            const int c = int(std::min<qint64>(columns - 1, (PointRing::msOf(p[i].key) - out.t0) *
                                                                columns / span));
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

CsvPoints TrendModel::csvPoints(int sensor, qint64 t0, qint64 t1, bool withPressure) const
{
    CsvPoints out;
    const int n = channelCount(sensor);
    out.channels = n;
    out.withPressure = withPressure;
    out.header = "Time";
    for (int k = 1; k <= n; ++k)
        out.header += ',' + csvCell(channelName(sensor, k));
    if (withPressure) out.header += ',' + csvCell(pressureName());
    out.header += "\r\n";

    const int base = sensor >= 0 ? sensor * Channels : -(1 << 20);
    const qsizetype from = m_points.lowerBound(t0);
    const qsizetype to = m_points.lowerBound(t1 + 1);
    // The bound may have dropped the first channels of the oldest reading: the rest of it is
    // left out rather than shown as gaps.
    bool readingSeen = false;
    out.points.reserve(size_t(to - from));
    qsizetype ownFrom = firstPointOf(sensor) - from;
    m_points.forRange(from, to, [&](const PointRing::Point *p, qsizetype count) {
        for (qsizetype i = 0; i < count; ++i, --ownFrom) {
            const int idx = slotOf(PointRing::seriesOf(p[i].key), base, withPressure, n);
            if (idx < 0 || (idx > 0 && ownFrom > 0)) continue;
            const bool starts = PointRing::startsReading(p[i].key);
            if (idx > 0 && !starts && !readingSeen) continue;
            readingSeen = readingSeen || (idx > 0 && starts);
            out.points.push_back(
                {PointRing::keyOf(PointRing::msOf(p[i].key), idx, starts), p[i].value});
        }
    });
    return out;
}

qsizetype TrendModel::writeCsv(QIODevice &out, int sensor, qint64 t0, qint64 t1,
                               bool withPressure) const
{
    return writeCsv(csvPoints(sensor, t0, t1, withPressure), out);
}

qsizetype TrendModel::writeCsv(const CsvPoints &data, QIODevice &out,
                               const std::atomic<bool> *cancel, std::atomic<qsizetype> *done)
{
    const int n = data.channels;
    QByteArray buffer = data.header;
    // cells[0] is the pressure, cells[k] channel k; a NaN cell is a gap, an unset one empty.
    std::vector<double> cells(size_t(n) + 1);
    std::vector<bool> set(size_t(n) + 1);
    bool open = false;
    bool rowHasReading = false;
    qint64 rowMs = 0;
    qsizetype rows = 0;
    bool ok = true;
    IsoTime isoTime;
    auto write = [&] {
        ok = ok && out.write(buffer) == buffer.size();
        buffer.clear();
    };
    auto flush = [&] {
        if (!open) return;
        buffer += isoTime(rowMs);
        for (int k = 1; k <= n; ++k) {
            buffer += ',';
            if (set[size_t(k)]) buffer += numberCell(cells[size_t(k)]);
        }
        if (data.withPressure) {
            buffer += ',';
            if (set[0]) buffer += numberCell(cells[0]);
        }
        buffer += "\r\n";
        ++rows;
        open = false;
        rowHasReading = false;
        std::fill(set.begin(), set.end(), false);
        if (buffer.size() >= 1 << 16) write();
    };

    const qsizetype count = qsizetype(data.points.size());
    for (qsizetype i = 0; i < count && ok; ++i) {
        if ((i & 0xFFF) == 0) {
            if (cancel && cancel->load(std::memory_order_relaxed)) return -1;
            if (done) done->store(i, std::memory_order_relaxed);
        }
        const PointRing::Point &p = data.points[size_t(i)];
        const int idx = PointRing::seriesOf(p.key);
        const bool starts = idx > 0 && PointRing::startsReading(p.key);
        const qint64 ms = PointRing::msOf(p.key);
        // A row per reading and per pressure change; a pressure change shares the row of the
        // reading with its time stamp.
        if (open && (ms != rowMs || set[size_t(idx)] || (starts && rowHasReading))) flush();
        if (!open) {
            open = true;
            rowMs = ms;
        }
        rowHasReading = rowHasReading || idx > 0;
        cells[size_t(idx)] = p.value;
        set[size_t(idx)] = true;
    }
    flush();
    write();
    if (done) done->store(count, std::memory_order_relaxed);
    return ok ? rows : -1;
}

bool TrendModel::saveCsv(const CsvPoints &data, const QString &path, QString *error,
                         const std::atomic<bool> *cancel, std::atomic<qsizetype> *done)
{
    return saveToPath(
        path, [&](QFileDevice &file) { return writeCsv(data, file, cancel, done) >= 0; }, error,
        cancel);
}

} // namespace trend
