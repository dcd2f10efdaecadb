// The pressure line: label, first field, zero and the shown text.
#include "secondary/Pressure.h"

#include <QTest>

using namespace secondary;

class TestPressure : public QObject {
    Q_OBJECT
private slots:
    void pressureLine_data();
    void pressureLine();
    void zeroFromRawPressure();
    void labelBeyond16BitPosition();
};

namespace {
const QString unset = QStringLiteral("<unset>");
QString orUnset(const std::optional<QString> &s)
{
    return s ? *s : unset;
}
} // namespace

void TestPressure::pressureLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("zero");
    QTest::addColumn<bool>("labelled");
    QTest::addColumn<QString>("message"); // Message after the call
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("pressure");

    auto row = [](const char *name, const char *line, const char *zero, bool labelled,
                  const char *message, const QString &raw, const QString &pressure) {
        QTest::newRow(name) << QString::fromLatin1(line) << QString::fromLatin1(zero) << labelled
                            << QString::fromLatin1(message) << raw << pressure;
    };
    row("plain line", "P:12.5,psi\r\n", "0", true, "12.5,psi\r\n", "12.5", "12.5");
    row("zeroed", "P:12.5,psi\r\n", "12.5", true, "12.5,psi\r\n", "12.5", "0");
    row("empty zero reads 0", "P:12.5,psi\r\n", "", true, "12.5,psi\r\n", "12.5", "12.5");
    row("zero with CR LF", "P:12.5\r\n", "12.5\r\n", true, "12.5\r\n", "12.5\r\n", "0");
    row("no comma keeps CR LF", "P:12.5\r\n", "0", true, "12.5\r\n", "12.5\r\n", "12.5");
    row("only first field counts", "P:12.5,99\r\n", "0", true, "12.5,99\r\n", "12.5", "12.5");
    row("spaces inside number", "P:1 2.5,psi\r\n", "0", true, "1 2.5,psi\r\n", "1 2.5", "12.5");
    row("no number is minus zero", "P:abc,psi\r\n", "2", true, "abc,psi\r\n", "abc", "-2");
    row("empty first field", "P:,psi\r\n", "0", true, ",psi\r\n", "", "0");
    row("later colon is field text", "P:1:2,x\r\n", "0", true, "1:2,x\r\n", "1:2", "1");
    row("no label: nothing", "12.5,psi\r\n", "0", false, "12.5,psi\r\n", unset, unset);
    row("nothing after label", "P:", "0", true, "", unset, unset);
    row("overflow keeps old text", "P:1e308,psi\r\n", "-1e308", true, "1e308,psi\r\n", "1e308",
        unset);
    row("infinite minus infinite", "P:1e999\r\n", "1e999", true, "1e999\r\n", "1e999\r\n", unset);
}

void TestPressure::pressureLine()
{
    QFETCH(QString, line);
    QFETCH(QString, zero);
    QFETCH(bool, labelled);
    QFETCH(QString, message);
    QFETCH(QString, raw);
    QFETCH(QString, pressure);

    const PressureUpdate u = SmallStream(line, zero, QLocale::c());
    QCOMPARE(u.labelled, labelled);
    QCOMPARE(line, message);
    QCOMPARE(orUnset(u.rawPressure), raw);
    QCOMPARE(orUnset(u.pressureText), pressure);
}

// The zero button copies RawPressure into the zero box; the same line then shows 0.
void TestPressure::zeroFromRawPressure()
{
    QString zero = QStringLiteral("0");
    QString line = QStringLiteral("Gauge 1:  14.70 , psi\r\n");
    PressureUpdate u = SmallStream(line, zero, QLocale::c());
    QCOMPARE(*u.pressureText, QStringLiteral("14.7"));
    zero = *u.rawPressure;
    QCOMPARE(zero, QStringLiteral("  14.70 "));

    line = QStringLiteral("Gauge 1:  14.70 , psi\r\n");
    u = SmallStream(line, zero, QLocale::c());
    QCOMPARE(*u.pressureText, QStringLiteral("0"));

    line = QStringLiteral("Gauge 1:15.2,psi\r\n");
    u = SmallStream(line, zero, QLocale::c());
    QCOMPARE(*u.pressureText, QStringLiteral("0.5"));
}

// The label's end is held in a 16-bit position: a first ":" at position 32767 or later is not
// found and the line is ignored; at 32766 it still counts.
void TestPressure::labelBeyond16BitPosition()
{
    QString found = QString(32765, u'x') + QStringLiteral(":5\r\n"); // ":" at 32766
    PressureUpdate u = SmallStream(found, QStringLiteral("0"), QLocale::c());
    QVERIFY(u.labelled);
    QCOMPARE(*u.pressureText, QStringLiteral("5"));

    const QString tooFar = QString(32766, u'x') + QStringLiteral(":5\r\n"); // ":" at 32767
    QString line = tooFar;
    u = SmallStream(line, QStringLiteral("0"), QLocale::c());
    QVERIFY(!u.labelled);
    QVERIFY(!u.rawPressure && !u.pressureText);
    QCOMPARE(line, tooFar);
}

QTEST_APPLESS_MAIN(TestPressure)
#include "tst_pressure.moc"
