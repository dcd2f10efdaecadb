#pragma once
// The trend's data, free of widgets: every reading's channel values and every pressure change
// since start-up, in a store bounded in points (the oldest go first), reduced per pixel column
// to what a picture needs, and written out as CSV.
#include "primary/Reading.h"

#include <QHash>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

class QIODevice;

namespace trend {

// A ring of time-stamped values that grows up to the store's bound and then overwrites its
// oldest entries. A key holds the time (ms since the epoch) in its upper 48 bits and a series
// number in its lower 16.
class PointRing {
public:
    struct Point {
        qint64 key;
        double value; // NaN: a gap in the line
    };
    static qint64 keyOf(qint64 ms, int series) { return (ms << 16) | series; }
    static qint64 msOf(qint64 key) { return key >> 16; }
    static int seriesOf(qint64 key) { return int(key & 0xFFFF); }

    explicit PointRing(qsizetype capacity) : m_capacity(capacity) {}
    qsizetype capacity() const { return m_capacity; }
    qsizetype size() const { return qsizetype(m_points.size()); }
    const Point &at(qsizetype i) const
    {
        qsizetype j = m_head + i;
        if (j >= size()) j -= size();
        return m_points[size_t(j)];
    }
    qint64 msAt(qsizetype i) const { return msOf(at(i).key); }
    // Appends. A full ring overwrites its oldest point, which is returned in `dropped`.
    bool push(qint64 key, double value, Point &dropped);
    // The first index whose time is at or after `ms`.
    qsizetype lowerBound(qint64 ms) const;
    // The two contiguous parts of indices [from, to): calls f(const Point*, count) for each.
    template <typename F> void forRange(qsizetype from, qsizetype to, F &&f) const
    {
        if (from >= to) return;
        const qsizetype a = m_head + from;
        const qsizetype b = m_head + to;
        const qsizetype n = size();
        if (b <= n) {
            f(m_points.data() + a, b - a);
        } else if (a >= n) {
            f(m_points.data() + (a - n), b - a);
        } else {
            f(m_points.data() + a, n - a);
            f(m_points.data(), b - n);
        }
    }

private:
    qsizetype m_capacity;
    std::vector<Point> m_points; // grows up to the capacity, then wraps
    qsizetype m_head = 0;        // the oldest point, once the ring has wrapped
};

// One pixel column of one series: the values of the points that fall there.
struct Column {
    double min = 0, max = 0, first = 0, last = 0;
    bool hasValue = false;
    bool breakBefore = false; // a gap lies between this column's values and the ones before
};

struct SeriesPicture {
    std::vector<Column> columns;
    qsizetype points = 0; // points of the series in the picture, gaps included
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    bool hasValue() const { return lo <= hi; }
};

// What one picture of one sensor holds: per series and pixel column, the minimum, maximum,
// first and last value, so drawing costs the same however many points there are.
struct Picture {
    static constexpr int Pressure = 0; // series[0]; series[k] is channel k
    qint64 t0 = 0, t1 = 0;             // the time span, ms since the epoch, both included
    int columnCount = 0;
    std::array<SeriesPicture, 10> series;
    qsizetype points = 0;
    bool hasPressure = false; // the picture shows the pressure
    // The pressure holds its value until it changes: the value before the span, if any.
    double pressureBefore = std::numeric_limits<double>::quiet_NaN();
    // The pressure at the span's end (NaN: none shown then): the line holds it to the end.
    double pressureAtEnd = std::numeric_limits<double>::quiet_NaN();
    int columnOf(qint64 ms) const;
    qint64 msOfColumn(double column) const;
};

class TrendModel {
public:
    static constexpr int Channels = 9;
    static constexpr int PressureSeries = 0xFFFF; // channel k of sensor s: s * Channels + k - 1
    static constexpr qsizetype DefaultBound = 1'000'000;
    static constexpr int MaxSensors = 1000;

    explicit TrendModel(qsizetype bound = DefaultBound);

    // A reading at `ms`: one point per channel it carries (a gap where the first item holds no
    // number). Returns the sensor's index, or -1 when the reading names no sensor or the sensor
    // list is full.
    int addReading(qint64 ms, const primary::Reading &reading);
    // The pressure at `ms`; NaN is a gap (no pressure shown).
    void addPressure(qint64 ms, double value);

    const QStringList &sensors() const { return m_sensors; }
    int sensorIndex(const QString &id) const { return m_sensorIndex.value(id, -1); }
    // The unit of channel k (1..9) of a sensor: the second item of its latest reading.
    QString unit(int sensor, int k) const;
    // The highest channel the sensor has had, 0 for none.
    int channelCount(int sensor) const;
    // "Channel 1 (C)", or "Channel 1" without a unit.
    QString channelName(int sensor, int k) const;
    static QString pressureName() { return QStringLiteral("Pressure (psi)"); }

    qsizetype bound() const { return m_bound; }
    qsizetype pointCount() const { return m_points.size(); }
    // Points dropped to keep the bound; once above 0, every new point drops the oldest one.
    qint64 droppedCount() const { return m_dropped; }
    // The oldest and the newest time held, or 0 when empty.
    qint64 firstMs() const;
    qint64 lastMs() const { return m_lastMs; }

    // Reduces the points of `sensor` (and the pressure when `withPressure`) with times in
    // [t0, t1] to `columns` pixel columns. `out` is reused; no allocation once it has grown.
    void decimate(int sensor, qint64 t0, qint64 t1, int columns, bool withPressure,
                  Picture &out) const;

    // The points of `sensor` in [t0, t1] as CSV (UTF-8, a header row, CR LF line ends): an
    // ISO 8601 local time with its offset, then one column per channel and, when
    // `withPressure`, the pressure. A row per reading and per pressure change; a gap is an
    // empty cell. Returns the number of rows written after the header, or -1 on a write error.
    qsizetype writeCsv(QIODevice &out, int sensor, qint64 t0, qint64 t1, bool withPressure) const;

private:
    void push(qint64 ms, int series, double value);
    double pressureBefore(qsizetype index) const;

    qsizetype m_bound;
    PointRing m_points;  // every point, in order of arrival (and so of time)
    qint64 m_lastMs = 0; // the newest time held; times never go back in the store
    qsizetype m_pressurePoints = 0;
    qint64 m_lastPressureMs = 0;
    double m_lastPressure = std::numeric_limits<double>::quiet_NaN();
    qint64 m_dropped = 0;
    QStringList m_sensors;
    QHash<QString, int> m_sensorIndex;
    std::vector<std::array<QString, Channels + 1>> m_units; // [sensor][k], k = 1..9
    std::vector<int> m_channelCount;
};

} // namespace trend
