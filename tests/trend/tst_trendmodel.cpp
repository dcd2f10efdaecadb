// The trend's data model: readings become points, the store's bound, the per-column reduction,
// gaps, units, the pressure, and the CSV export read back.
#include "app/trend/TrendModel.h"
#include "tests/support/PtyPair.h"

#include <QBuffer>
#include <QDateTime>
#include <QTest>
#include <cmath>

using trend::Picture;
using trend::TrendModel;

namespace {

const QString kStamp = QStringLiteral("1/1/2026");
constexpr qint64 kT0 = 1'765'000'000'000; // some time in Dec 2025

primary::Reading line(const QString &text)
{
    return primary::parseReading(text).value_or(primary::Reading{});
}

// A one-channel reading of sensor `id` with `value` as the first item.
primary::Reading one(const QString &id, const QString &value, const QString &unit = "C")
{
    return line(QStringLiteral("R:0,%1,TC,1,%2,%3\r\n").arg(id, value, unit));
}

// Splits one CSV line (quoted cells as RFC 4180 writes them).
QStringList csvCells(const QString &row)
{
    QStringList cells;
    QString cell;
    bool quoted = false;
    for (qsizetype i = 0; i < row.size(); ++i) {
        const QChar c = row[i];
        if (quoted) {
            if (c == u'"' && i + 1 < row.size() && row[i + 1] == u'"') {
                cell += u'"';
                ++i;
            } else if (c == u'"') {
                quoted = false;
            } else {
                cell += c;
            }
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            cells << cell;
            cell.clear();
        } else {
            cell += c;
        }
    }
    cells << cell;
    return cells;
}

} // namespace

class TestTrendModel : public QObject {
    Q_OBJECT
private slots:
    void readingsBecomePoints();
    void sensorListBound();
    void boundDropsOldestFirst();
    void columnsKeepMinAndMax();
    void gapsBreakTheLine();
    void pressure();
    void clockSetBack();
    void csvRoundTrip();
    void csvRowsAfterEviction();
    void csvTimesAcrossOffsetChange();
};

void TestTrendModel::readingsBecomePoints()
{
    TrendModel m;
    // Sensors in order of first arrival; the first item may hold blanks, the unit follows the
    // one blank the box puts between the items.
    QCOMPARE(m.addReading(kT0, line("R:0,S2,TC4,3, 21.5 ,deg C,abc,mV,-3e1x,%\r\n")), 0);
    QCOMPARE(m.addReading(kT0 + 1, one("S1", "7")), 1);
    QCOMPARE(m.addReading(kT0 + 2, one("S2", "8", "K")), 0);
    QCOMPARE(m.addReading(kT0 + 3, line("garbage without a label")), -1);
    QCOMPARE(m.addReading(kT0 + 3, line("R:0")), -1); // no sensor
    QCOMPARE(m.sensors(), QStringList({"S2", "S1"}));
    QCOMPARE(m.sensorIndex("S1"), 1);
    QCOMPARE(m.channelCount(0), 3);
    QCOMPARE(m.channelName(0, 1), QString("Channel 1 (K)")); // the latest unit
    QCOMPARE(m.channelName(0, 2), QString("Channel 2 (mV)"));
    QCOMPARE(m.channelName(0, 3), QString("Channel 3 (%)"));
    QCOMPARE(m.unit(0, 4), QString());
    QCOMPARE(m.channelName(1, 1), QString("Channel 1 (C)"));
    QCOMPARE(m.pointCount(), 5);

    Picture p;
    m.decimate(0, kT0, kT0 + 9, 10, false, p);
    QCOMPARE(p.points, 4); // S2's three channels, then one
    QCOMPARE(p.series[1].columns[0].first, 21.5);
    QCOMPARE(p.series[1].columns[2].first, 8.0);
    QVERIFY(!p.series[2].columns[0].hasValue); // "abc": no number, a gap
    QCOMPARE(p.series[2].points, 1);
    QCOMPARE(p.series[3].columns[0].first, -30.0);
}

void TestTrendModel::sensorListBound()
{
    // A burst of junk identifiers fills the list; the sensors after it still come in, each in
    // place of the identifier seen longest ago, never the one shown.
    TrendModel m;
    QCOMPARE(m.addReading(kT0, one("S1", "5", "K")), 0);
    m.setPinnedSensor(0);
    QCOMPARE(m.addReading(kT0 + 1, one("S2", "6")), 1);
    for (int i = 2; i < TrendModel::MaxSensors; ++i)
        QCOMPARE(m.addReading(kT0 + 2, one(QString("junk%1").arg(i), "1")), i);
    QCOMPARE(m.sensorsDropped(), 0);
    QCOMPARE(m.addReading(kT0 + 3, one("S3", "7", "V")), 1); // S2's place; S1 is shown
    QCOMPARE(m.sensorsDropped(), 1);
    QCOMPARE(m.sensors().size(), TrendModel::MaxSensors);
    QCOMPARE(m.sensors()[1], QString("S3"));
    QCOMPARE(m.sensorIndex("S2"), -1);
    QCOMPARE(m.addReading(kT0 + 4, one("junk2", "1")), 2); // seen again: kept
    QCOMPARE(m.addReading(kT0 + 5, one("S4", "8")), 3);    // junk3 went
    QCOMPARE(m.sensorIndex("junk3"), -1);
    QCOMPARE(m.sensorIndex("junk2"), 2);
    // The new sensor's picture, points and units are its own, not S2's.
    QCOMPARE(m.channelName(1, 1), QString("Channel 1 (V)"));
    Picture p;
    m.decimate(1, kT0, kT0 + 5, 6, false, p);
    QCOMPARE(p.points, 1);
    QCOMPARE(p.series[1].columns[3].first, 7.0);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QCOMPARE(m.writeCsv(buffer, 1, kT0, kT0 + 5, false), 1);
    m.decimate(0, kT0, kT0 + 5, 6, false, p);
    QCOMPARE(p.points, 1);
}

void TestTrendModel::boundDropsOldestFirst()
{
    TrendModel m(10);
    for (int i = 0; i < 8; ++i)
        m.addReading(kT0 + i, one("S", QString::number(i)));
    QCOMPARE(m.droppedCount(), 0);
    m.addPressure(kT0 + 8, 1.0);
    m.addPressure(kT0 + 9, 2.0);
    QCOMPARE(m.pointCount(), 10);
    QCOMPARE(m.droppedCount(), 0);
    for (int i = 10; i < 25; ++i)
        m.addReading(kT0 + i, one("S", QString::number(i)));
    QCOMPARE(m.pointCount(), 10);
    QCOMPARE(m.droppedCount(), 15);
    QCOMPARE(m.firstMs(), kT0 + 15);
    QCOMPARE(m.lastMs(), kT0 + 24);

    Picture p;
    m.decimate(0, kT0, kT0 + 24, 25, true, p);
    QCOMPARE(p.points, 10);
    QVERIFY(!p.series[1].columns[14].hasValue);
    QCOMPARE(p.series[1].columns[15].first, 15.0);
    QCOMPARE(p.series[1].columns[24].first, 24.0);
    // Both pressure points went, but the last one still holds the pressure's value.
    QCOMPARE(p.series[Picture::Pressure].points, 0);
    QCOMPARE(p.pressureAtEnd, 2.0);

    // The default store holds its million points and drops the next one's oldest.
    TrendModel big;
    QCOMPARE(big.bound(), 1'000'000);
    for (int i = 0; i <= 1'000'000; ++i)
        big.addPressure(kT0 + i, i);
    QCOMPARE(big.pointCount(), 1'000'000);
    QCOMPARE(big.droppedCount(), 1);
    QCOMPARE(big.firstMs(), kT0 + 1);
}

void TestTrendModel::columnsKeepMinAndMax()
{
    TrendModel m;
    // 1000 ms over 4 columns of 250 ms; a sawtooth of values.
    const double values[] = {5, 1, 9, 3, /**/ 4, 4, /**/ /**/ -2, 7, 0};
    const qint64 times[] = {0, 50, 100, 249, 250, 499, 750, 800, 999};
    for (int i = 0; i < int(std::size(values)); ++i)
        m.addReading(kT0 + times[i], one("S", QString::number(values[i])));
    m.addReading(kT0 + 1000, one("S", "100")); // outside the span

    Picture p;
    m.decimate(0, kT0, kT0 + 999, 4, false, p);
    QCOMPARE(p.points, 9);
    const auto &c = p.series[1].columns;
    QCOMPARE(c.size(), size_t(4));
    auto is = [](const trend::Column &col, double first, double min, double max, double last) {
        return col.hasValue && col.first == first && col.min == min && col.max == max &&
               col.last == last;
    };
    QVERIFY(is(c[0], 5, 1, 9, 3));
    QVERIFY(is(c[1], 4, 4, 4, 4));
    QVERIFY(!c[2].hasValue);
    QVERIFY(is(c[3], -2, -2, 7, 0));
    QCOMPARE(p.series[1].lo, -2.0);
    QCOMPARE(p.series[1].hi, 9.0);
    QCOMPARE(p.columnOf(kT0 + 999), 3);

    // The same store reduced again, into fewer columns, reuses the picture.
    m.decimate(0, kT0, kT0 + 999, 1, false, p);
    QVERIFY(is(p.series[1].columns[0], 5, -2, 9, 0));
    // Another sensor's points are not this sensor's.
    m.decimate(1, kT0, kT0 + 999, 4, false, p);
    QCOMPARE(p.points, 0);
}

void TestTrendModel::gapsBreakTheLine()
{
    TrendModel m;
    const char *items[] = {"1", "2", "n/a", "--", "5", "6", "x", "8"};
    for (int i = 0; i < 8; ++i)
        m.addReading(kT0 + i * 100, one("S", items[i]));
    Picture p;
    m.decimate(0, kT0, kT0 + 799, 8, false, p);
    const auto &c = p.series[1].columns;
    QCOMPARE(p.series[1].points, 8); // gaps are points of the store too
    QVERIFY(c[0].hasValue && !c[0].breakBefore);
    QVERIFY(c[1].hasValue && !c[1].breakBefore);
    QVERIFY(!c[2].hasValue && !c[3].hasValue);
    QVERIFY(c[4].hasValue && c[4].breakBefore);
    QVERIFY(c[5].hasValue && !c[5].breakBefore);
    QVERIFY(c[7].hasValue && c[7].breakBefore);

    // A gap between values within one column cannot be seen there and breaks nothing.
    m.decimate(0, kT0, kT0 + 799, 1, false, p);
    QVERIFY(p.series[1].columns[0].hasValue && !p.series[1].columns[0].breakBefore);
    QCOMPARE(p.series[1].columns[0].min, 1.0);
    QCOMPARE(p.series[1].columns[0].max, 8.0);
}

void TestTrendModel::pressure()
{
    TrendModel m;
    m.addPressure(kT0, 10);
    m.addPressure(kT0 + 100, 11);
    m.addReading(kT0 + 200, one("S", "1"));
    m.addPressure(kT0 + 300, std::nan(""));
    m.addReading(kT0 + 400, one("S", "2"));
    Picture p;
    // The pressure held before the span is the line's start; a gap at the end ends it.
    m.decimate(0, kT0 + 150, kT0 + 400, 10, true, p);
    QCOMPARE(p.pressureBefore, 11.0);
    QVERIFY(std::isnan(p.pressureAtEnd));
    QCOMPARE(p.series[Picture::Pressure].points, 1);
    QCOMPARE(p.series[Picture::Pressure].lo, 11.0);
    m.addPressure(kT0 + 500, 12);
    m.decimate(0, kT0 + 150, kT0 + 500, 10, false, p);
    QCOMPARE(p.points, 2); // the pressure hidden: channels only
    m.decimate(0, kT0 + 150, kT0 + 500, 10, true, p);
    QCOMPARE(p.pressureAtEnd, 12.0);
    QCOMPARE(p.series[Picture::Pressure].hi, 12.0);
}

void TestTrendModel::clockSetBack()
{
    // A clock set back keeps the store in time order: its points pile up at the newest time.
    TrendModel m;
    m.addReading(kT0 + 1000, one("S", "1"));
    m.addReading(kT0, one("S", "2"));
    m.addPressure(kT0 + 10, 3);
    m.addReading(kT0 + 2000, one("S", "4"));
    QCOMPARE(m.lastMs(), kT0 + 2000);
    Picture p;
    m.decimate(0, kT0 + 1000, kT0 + 1000, 1, true, p);
    QCOMPARE(p.points, 3);
    m.decimate(0, kT0 + 1001, kT0 + 2000, 1, true, p);
    QCOMPARE(p.points, 1);
}

void TestTrendModel::csvRoundTrip()
{
    TrendModel m;
    m.addPressure(kT0 - 5, 14.5); // before the span: not written
    m.addReading(kT0, line("R:0,S1,TC,2,21.25,C,0.1,\"q\"uote\r\n"));
    m.addReading(kT0, line("R:0,S9,TC,1,99,C\r\n"));          // another sensor's
    m.addPressure(kT0, 14.625);                               // shares the reading's row
    m.addReading(kT0, line("R:0,S1,TC,2,-3e-7,C,n/a,V\r\n")); // same ms: a row of its own
    m.addPressure(kT0 + 250, std::nan(""));
    m.addReading(kT0 + 1000, line("R:0,S1,TC,1,123456.789012,C\r\n"));

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QCOMPARE(m.writeCsv(buffer, 0, kT0, kT0 + 1000, true), 4);
    const QString text = QString::fromUtf8(buffer.data());
    QVERIFY(text.endsWith("\r\n"));
    QStringList rows = text.split("\r\n");
    rows.removeLast();
    QCOMPARE(rows.size(), 5);
    QCOMPARE(csvCells(rows[0]),
             QStringList({"Time", "Channel 1 (C)", "Channel 2 (V)", "Pressure (psi)"}));

    struct Row {
        qint64 ms;
        QStringList cells;
    };
    const Row expected[] = {{kT0, {"21.25", "0.1", "14.625"}},
                            {kT0, {"-3e-07", "", ""}},
                            {kT0 + 250, {"", "", ""}},
                            {kT0 + 1000, {"123456.789012", "", ""}}};
    for (int i = 0; i < 4; ++i) {
        const QStringList cells = csvCells(rows[i + 1]);
        QCOMPARE(cells.size(), 4);
        const QDateTime when = QDateTime::fromString(cells[0], Qt::ISODateWithMs);
        QVERIFY2(when.isValid(), qPrintable(cells[0]));
        QVERIFY(cells[0].contains(u'T') && (cells[0].endsWith(u'Z') || cells[0].contains(u'+') ||
                                            cells[0].lastIndexOf(u'-') > 10));
        QCOMPARE(when.toMSecsSinceEpoch(), expected[i].ms);
        QCOMPARE(cells.mid(1), expected[i].cells);
    }
    // Values read back exactly.
    QCOMPARE(csvCells(rows[2])[1].toDouble(), -3e-7);

    // A unit that needs quoting, and the pressure left out.
    TrendModel q;
    q.addReading(kT0, line("R:0,S1,TC,1,5,\"a\" b\r\n"));
    q.addPressure(kT0 + 1, 1);
    QBuffer b2;
    b2.open(QIODevice::WriteOnly);
    QCOMPARE(q.writeCsv(b2, 0, kT0, kT0 + 1, false), 1);
    const QStringList r2 = QString::fromUtf8(b2.data()).split("\r\n");
    QCOMPARE(csvCells(r2[0]), QStringList({"Time", "Channel 1 (\"a\" b)"}));
    QCOMPARE(csvCells(r2[1]).mid(1), QStringList({"5"}));

    // A unit made for a reader that splits on ';' or a tab stays inside its quoted cell.
    TrendModel s;
    s.addReading(kT0, line("R:0,S1,TC,2,5,;=1+1,6,a\tb\r\n"));
    QBuffer b3;
    b3.open(QIODevice::WriteOnly);
    QCOMPARE(s.writeCsv(b3, 0, kT0, kT0, false), 1);
    QCOMPARE(b3.data().left(b3.data().indexOf('\r')),
             QByteArray("Time,\"Channel 1 (;=1+1)\",\"Channel 2 (a\tb)\""));
    // A text cell a spreadsheet would take for a formula is neutralised; a number is not.
    QCOMPARE(TrendModel::csvCell("=1+1"), QByteArray("'=1+1"));
    QCOMPARE(TrendModel::csvCell("@SUM(A1)"), QByteArray("'@SUM(A1)"));
    QCOMPARE(TrendModel::csvCell("+x;y"), QByteArray("\"'+x;y\""));
    QCOMPARE(TrendModel::csvCell("-cmd"), QByteArray("'-cmd"));
    QCOMPARE(TrendModel::csvCell("-1.5e3"), QByteArray("-1.5e3"));
    QCOMPARE(TrendModel::csvCell("+2"), QByteArray("+2"));
}

void TestTrendModel::csvTimesAcrossOffsetChange()
{
    // The offset is found once per quarter hour: both sides of a change to summer time.
    const testsupport::ScopedEnv tz("TZ", "Europe/Berlin");
    const qint64 change = QDateTime(QDate(2026, 3, 29), QTime(1, 0), Qt::UTC).toMSecsSinceEpoch();
    TrendModel m;
    for (qint64 ms : {change - 900'001, change - 1, change, change + 1})
        m.addPressure(ms, 1);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QCOMPARE(m.writeCsv(buffer, -1, change - 900'001, change + 1, true), 4);
    const QStringList rows = QString::fromUtf8(buffer.data()).split("\r\n");
    QCOMPARE(rows.mid(1, 4),
             QStringList({"2026-03-29T01:44:59.999+01:00,1", "2026-03-29T01:59:59.999+01:00,1",
                          "2026-03-29T03:00:00.000+02:00,1", "2026-03-29T03:00:00.001+02:00,1"}));
}

void TestTrendModel::csvRowsAfterEviction()
{
    // Readings that share a millisecond, the oldest one cut by the bound: every row holds the
    // values of one reading (value = reading * 100 + channel), a cut one none of another's.
    TrendModel m(20);
    for (int r = 0; r < 3; ++r) {
        QString text = QStringLiteral("R:0,S,TC,9");
        for (int k = 1; k <= 9; ++k)
            text += QStringLiteral(",%1,C").arg(r * 100 + k);
        m.addReading(kT0, line(text + "\r\n"));
    }
    m.addPressure(kT0, 14.5);
    QCOMPARE(m.droppedCount(), 8);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const qsizetype written = m.writeCsv(buffer, 0, kT0, kT0, true);
    QStringList rows = QString::fromUtf8(buffer.data()).split("\r\n", Qt::SkipEmptyParts);
    QCOMPARE(written, rows.size() - 1);
    QList<int> readings;
    for (const QString &row : rows.mid(1)) {
        const QStringList cells = csvCells(row);
        QCOMPARE(cells.size(), 11);
        int reading = -1;
        for (int k = 1; k <= 9; ++k) {
            if (cells[k].isEmpty()) continue;
            const int v = cells[k].toInt();
            QCOMPARE(v % 100, k);
            if (reading < 0) reading = v / 100;
            QCOMPARE(v / 100, reading);
        }
        if (reading >= 0) readings << reading;
    }
    // The cut reading is left out; the whole ones are there in full, in order.
    QCOMPARE(readings, QList<int>({1, 2}));
    QCOMPARE(csvCells(rows.last()).mid(1),
             QStringList({"201", "202", "203", "204", "205", "206", "207", "208", "209", "14.5"}));
}

QTEST_GUILESS_MAIN(TestTrendModel)
#include "tst_trendmodel.moc"
