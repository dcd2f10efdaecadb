// The pressure line: label, first field, zero and the shown text.
#include "secondary/Pressure.h"

#include <QTest>
#include <string>

using namespace secondary;

class TestPressure : public QObject {
    Q_OBJECT
private slots:
    void pressureLine_data();
    void pressureLine();
    void zeroFromRawPressure();
    void labelBeyond16BitPosition();
    void localeForms_data();
    void localeForms();
};

namespace {
const QString unset = QStringLiteral("<unset>");
// A line whose pressure cannot be computed: the box is to be emptied, not left as it was.
const QString failed = QStringLiteral("<not computable>");
QString orUnset(const std::optional<QString> &s)
{
    return s ? *s : unset;
}
QString pressureOf(const PressureUpdate &u)
{
    return u.notComputable ? failed : orUnset(u.pressureText);
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
    // A first field without any number is no pressure the gauge measured: not 0, but none.
    row("no number", "P:abc,psi\r\n", "2", true, "abc,psi\r\n", "abc", failed);
    row("empty first field", "P:,psi\r\n", "0", true, ",psi\r\n", "", failed);
    row("only the line end", "P:\r\n", "0", true, "\r\n", "\r\n", failed);
    row("a blank", "P: ,psi\r\n", "0", true, " ,psi\r\n", " ", failed);
    row("nan", "P:nan\r\n", "0", true, "nan\r\n", "nan\r\n", failed);
    row("inf", "P:inf,psi\r\n", "0", true, "inf,psi\r\n", "inf", failed);
    row("exponent alone", "P:e5,psi\r\n", "0", true, "e5,psi\r\n", "e5", failed);
    row("a letter before the digits",
        "P:\xff"
        "23.5,psi\r\n",
        "0", true,
        "\xff"
        "23.5,psi\r\n",
        QString::fromLatin1("\xff"
                            "23.5"),
        failed);
    row("starts with a number", "P:12abc,psi\r\n", "0", true, "12abc,psi\r\n", "12abc", "12");
    row("later colon is field text", "P:1:2,x\r\n", "0", true, "1:2,x\r\n", "1:2", "1");
    row("no label: nothing", "12.5,psi\r\n", "0", false, "12.5,psi\r\n", unset, unset);
    row("nothing after label", "P:", "0", true, "", unset, unset);
    row("difference overflows", "P:-1e308,psi\r\n", "1e308", true, "-1e308,psi\r\n", "-1e308",
        failed);
    row("beyond double", "P:1e309,psi\r\n", "0", true, "1e309,psi\r\n", "1e309", failed);
    row("400 digits", ("P:" + std::string(400, '9') + ",psi\r\n").c_str(), "0", true,
        (std::string(400, '9') + ",psi\r\n").c_str(), QString(400, u'9'), failed);
    row("zero beyond double", "P:5,psi\r\n", "-1e309", true, "5,psi\r\n", "5", failed);
    row("infinite minus infinite", "P:1e999\r\n", "1e999", true, "1e999\r\n", "1e999\r\n", failed);
    row("tiny is zero, not a failure", "P:1e-400,psi\r\n", "0", true, "1e-400,psi\r\n", "1e-400",
        "0");
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
    QCOMPARE(pressureOf(u), pressure);
    // The record form is the shown form where the locale's separator is ".".
    QCOMPARE(orUnset(u.recordText), orUnset(u.pressureText));
    if (u.notComputable) QVERIFY(u.rawPressure);
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

// The box shows the locale's form; the record always writes "." and so keeps one field per
// value. A zero typed as the box shows numbers is read as meant; the "." form works everywhere.
void TestPressure::localeForms_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("zero");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("record");

    auto row = [](const char *name, const char *locale, const char *line, const QString &zero,
                  const QString &shown, const char *record) {
        QTest::newRow(name) << QString::fromLatin1(locale) << QString::fromLatin1(line) << zero
                            << shown << QString::fromLatin1(record);
    };
    row("de_DE", "de_DE", "P:12.5,psi\r\n", "0", "12,5", "12.5");
    row("de_DE zero typed with comma", "de_DE", "P:12.5,psi\r\n", "12,5", "0", "0");
    row("de_DE zero typed with point", "de_DE", "P:12.5,psi\r\n", "12.5", "0", "0");
    row("de_DE zero below one", "de_DE", "P:2,psi\r\n", "0,25", "1,75", "1.75");
    row("de_DE exponent form", "de_DE", "P:1.5e20,psi\r\n", "0", "1,5E+20", "1.5E+20");
    row("fr_CH zero typed with comma", "fr_CH", "P:20,psi\r\n", "12,5", "7,5", "7.5");
    row("fr_CH large value has no groups", "fr_CH", "P:1234567.5,psi\r\n", "0", "1234567,5",
        "1234567.5");
    row("ar_SA", "ar_SA", "P:12.5,psi\r\n", "0", QStringLiteral("12\u066B5"), "12.5");
    row("ar_SA zero typed as shown", "ar_SA", "P:12.5,psi\r\n", QStringLiteral("2\u066B5"), "10",
        "10");
    // Where "." is the separator, a comma still ends the number.
    row("en_US comma ends the zero", "en_US", "P:12.5,psi\r\n", "12,5", "0.5", "0.5");
}

void TestPressure::localeForms()
{
    QFETCH(QString, locale);
    QFETCH(QString, line);
    QFETCH(QString, zero);
    QFETCH(QString, shown);
    QFETCH(QString, record);

    const PressureUpdate u = SmallStream(line, zero, QLocale(locale));
    QCOMPARE(orUnset(u.pressureText), shown);
    QCOMPARE(orUnset(u.recordText), record);
    QVERIFY(!u.notComputable);
}

QTEST_APPLESS_MAIN(TestPressure)
#include "tst_pressure.moc"
