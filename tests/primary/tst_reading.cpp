#include "primary/GeneralDate.h"
#include "primary/Reading.h"
#include "primary/ReadingsFile.h"

#include <QTest>

using primary::parseReading;

namespace {

const QString kStamp = QStringLiteral("3/14/2014 3:45:12 PM");

// What a line gives, as the window's boxes and the record show it: the sensor type box, the
// channel boxes as "k=text", and the record line up to its pressure (empty: no record).
struct Shown {
    bool labelled = false;
    std::optional<QString> sensorId, sensorType;
    QStringList channels;
    QString record;
    qint16 typeNumber = 0, channelCount = 0;
    primary::Reading reading;
};

Shown parse(QStringView line)
{
    Shown shown;
    const std::optional<primary::Reading> r = parseReading(line);
    if (!r) return shown;
    shown = {true, r->sensorId, std::nullopt, {}, {}, r->typeNumber, r->channelCount, *r};
    if (r->sensorType)
        shown.sensorType = QStringLiteral("%1  (%2)").arg(*r->sensorType).arg(r->typeNumber);
    for (qsizetype k = 0; k < r->channels.size(); ++k)
        shown.channels
            << QStringLiteral("%1=%2 %3").arg(k + 1).arg(r->channels[k].text, r->channels[k].unit);
    if (r->recordable()) shown.record = primary::recordLine(kStamp, *r, QString()).chopped(4);
    return shown;
}

} // namespace

class TestReading : public QObject {
    Q_OBJECT

private slots:
    void toInteger16_data();
    void toInteger16();
    void stripLabel();
    void exampleLine();
    void fieldThree_data();
    void fieldThree();
    void fewFields_data();
    void fewFields();
    void fieldsAreOpaque();
    void channelPairs_data();
    void channelPairs();
    void generalDate_data();
    void generalDate();
};

void TestReading::toInteger16_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value"); // -99999: no number

    const int none = -99999;
    QTest::newRow("digit") << "4" << 4;
    QTest::newRow("blanks around") << " \t 4 \t" << 4;
    QTest::newRow("minus") << "-5" << -5;
    QTest::newRow("point first") << ".5" << 0;
    QTest::newRow("point last") << "5." << 5;
    QTest::newRow("half to even down") << "2.5" << 2;
    QTest::newRow("half to even up") << "3.5" << 4;
    QTest::newRow("above half") << "2.51" << 3;
    QTest::newRow("negative half") << "-2.5" << -2;
    QTest::newRow("largest") << "32767" << 32767;
    QTest::newRow("smallest by rounding") << "-32768.5" << -32768;
    QTest::newRow("too large") << "32768" << none;
    QTest::newRow("too large by rounding") << "32767.5" << none;
    QTest::newRow("empty") << "" << none;
    QTest::newRow("lone blank") << " " << none;
    QTest::newRow("lone sign") << "-" << none;
    QTest::newRow("lone point") << "." << none;
    QTest::newRow("letter") << "4x" << none;
    QTest::newRow("blank inside") << "1 2" << none;
    QTest::newRow("two signs") << "+-1" << none;
}

void TestReading::toInteger16()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    const std::optional<qint16> result = primary::toInteger16(text);
    if (value == -99999) {
        QVERIFY2(!result, qPrintable(QString::number(result.value_or(0))));
    } else {
        QVERIFY(result);
        QCOMPARE(int(*result), value);
    }
}

void TestReading::stripLabel()
{
    QString text = "R:0,S1";
    QVERIFY(primary::StripLabel(text));
    QCOMPARE(text, QString("0,S1"));

    text = "A:B:0";
    QVERIFY(primary::StripLabel(text));
    QCOMPARE(text, QString("B:0"));

    text = ":";
    QVERIFY(primary::StripLabel(text));
    QCOMPARE(text, QString());

    text = "no label";
    QVERIFY(!primary::StripLabel(text));
    QCOMPARE(text, QString("no label"));

    // The position is 16 bits: a first ":" at 32,766 is found, at 32,767 it is not.
    text = QString(32765, u'x') + ":rest";
    QVERIFY(primary::StripLabel(text));
    QCOMPARE(text, QString("rest"));
    const QString far = QString(32766, u'x') + ":rest";
    text = far;
    QVERIFY(!primary::StripLabel(text));
    QCOMPARE(text, far);
    // Such a line is still read, label included, rather than dropped.
    const Shown r = parse(far + ",S1,T,0\r\n");
    QVERIFY(r.labelled);
    QCOMPARE(r.sensorId, QString("S1"));
}

void TestReading::exampleLine()
{
    const Shown r = parse(u"R:0,S100,TC4,2,21.5,C,21.7,C,0\r\n");
    QVERIFY(r.labelled);
    QCOMPARE(r.sensorId, QString("S100"));
    QCOMPARE(r.sensorType, QString("TC4  (2)"));
    QCOMPARE(r.channels, (QStringList{"1=21.5 C", "2=21.7 C"}));
    QCOMPARE(r.typeNumber, 2);
    QCOMPARE(r.channelCount, 2);
    QCOMPARE(r.record, kStamp + ",S100,TC4,2,21.5,C,21.7,C,");
    // The typed reading: the items as received, the number each first item starts with.
    QCOMPARE(r.reading.sensorType, QString("TC4"));
    QCOMPARE(r.reading.channels,
             (QList<primary::Channel>{{"21.5", "C", 21.5}, {"21.7", "C", 21.7}}));

    // A line without any ":" is not parsed.
    const Shown unlabelled = parse(u"0,S100,TC4,2,21.5,C,21.7,C,0\r\n");
    QVERIFY(!unlabelled.labelled);
    QVERIFY(!unlabelled.sensorId && !unlabelled.sensorType);
    QVERIFY(unlabelled.channels.isEmpty());
    QVERIFY(unlabelled.record.isEmpty());
}

void TestReading::fieldThree_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("typeNumber");
    QTest::addColumn<int>("channelCount");
    QTest::addColumn<QString>("sensorType");

    QTest::newRow("4") << "4" << 4 << 4 << "TC4  (4)";
    QTest::newRow("12") << "12" << 12 << 1 << "TC4  (12)";
    QTest::newRow("07") << "07" << 7 << 0 << "TC4  (7)";
    QTest::newRow("4x") << "4x" << 0 << 4 << "TC4  (0)";
    QTest::newRow("blank 4") << " 4" << 4 << 0 << "TC4  (4)";
    QTest::newRow("-5") << "-5" << -5 << 0 << "TC4  (-5)";
    QTest::newRow("only two characters count") << "123" << 12 << 1 << "TC4  (12)";
    QTest::newRow("empty") << "" << 0 << 0 << "TC4  (0)";
}

void TestReading::fieldThree()
{
    QFETCH(QString, field);
    QFETCH(int, typeNumber);
    QFETCH(int, channelCount);
    QFETCH(QString, sensorType);

    // Twelve channel pairs on the line, more than any count can ask for.
    QString line = "R:0,S100,TC4," + field;
    for (int k = 1; k <= 12; ++k)
        line += QStringLiteral(",v%1,u%1").arg(k);
    const Shown r = parse(line + "\r\n");
    QCOMPARE(int(r.typeNumber), typeNumber);
    QCOMPARE(int(r.channelCount), channelCount);
    QCOMPARE(r.sensorType, sensorType);

    QStringList expected;
    QString record = kStamp + ",S100,TC4," + QString::number(typeNumber) + ",";
    for (int k = 1; k <= channelCount; ++k) {
        expected << QStringLiteral("%1=v%1 u%1").arg(k);
        record += QStringLiteral("v%1,u%1,").arg(k);
    }
    QCOMPARE(r.channels, expected); // the tenth box is never set
    QCOMPARE(r.record, record);
}

void TestReading::fewFields_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("sensorId"); // "-": not set
    QTest::addColumn<QString>("sensorType");
    QTest::addColumn<QString>("record"); // "-": no record

    QTest::newRow("label only") << "R:\r\n"
                                << "-"
                                << "-"
                                << "-";
    QTest::newRow("field 0 only") << "R:0\r\n"
                                  << "-"
                                  << "-"
                                  << "-";
    QTest::newRow("fields 0 and 1") << "R:0,S100\r\n"
                                    << "S100"
                                    << "-"
                                    << "-";
    QTest::newRow("three fields") << "R:0,S100,TC4\r\n"
                                  << "S100"
                                  << "TC4  (0)" << kStamp + ",S100,TC4,0,";
    QTest::newRow("empty label") << ":0,S1,T,0\r\n"
                                 << "S1"
                                 << "T  (0)" << kStamp + ",S1,T,0,";
    QTest::newRow("no terminator") << "R:0,S100,TC4"
                                   << "S100"
                                   << "TC4  (0)" << kStamp + ",S100,TC4,0,";
}

void TestReading::fewFields()
{
    QFETCH(QString, line);
    QFETCH(QString, sensorId);
    QFETCH(QString, sensorType);
    QFETCH(QString, record);

    const Shown r = parse(line);
    QVERIFY(r.labelled);
    QCOMPARE(r.sensorId.value_or("-"), sensorId);
    QCOMPARE(r.sensorType.value_or("-"), sensorType);
    QCOMPARE(!r.record.isEmpty(), record != "-");
    QCOMPARE(r.record, record == "-" ? QString() : record);
    QVERIFY(r.channels.isEmpty());
}

void TestReading::fieldsAreOpaque()
{
    // Only the first ":" ends the label; blanks and further colons are field text.
    const Shown r = parse(u"A:B:0, S1 ,T:x,1, 21.5 ,C \r\n");
    QCOMPARE(r.sensorId, QString(" S1 "));
    QCOMPARE(r.sensorType, QString("T:x  (1)"));
    QCOMPARE(r.channels, QStringList{"1= 21.5  C "});
    QCOMPARE(r.reading.channels, (QList<primary::Channel>{{" 21.5 ", "C ", 21.5}}));
    // A channel's value: a real 0 is one; no number, or one too large for a double, is none.
    QCOMPARE(primary::channelValue(u"0"), 0.0);
    QCOMPARE(primary::channelValue(u"-3e1x"), -30.0);
    QCOMPARE(primary::channelValue(u"n/a"), std::nullopt);
    QCOMPARE(primary::channelValue(u"1e999"), std::nullopt);
    QCOMPARE(r.record, kStamp + ", S1 ,T:x,1, 21.5 ,C ,");

    // The terminator belongs to no field, also when the last field used is the last one.
    const Shown last = parse(u"R:0,S100,TC4,1,21.5,C\r\n");
    QCOMPARE(last.channels, QStringList{"1=21.5 C"});
    QVERIFY(!last.record.contains(u'\r') && !last.record.contains(u'\n'));

    // A lone CR or LF inside the line stays text; only the final CR LF is removed.
    const Shown inner = parse(u"R:0,S\r1,T\n,4\r\n");
    QCOMPARE(inner.sensorId, QString("S\r1"));
    QCOMPARE(inner.record, kStamp + ",S\r1,T\n,4,");

    // Characters above 127 pass through.
    const Shown high = parse(u"R:0,S\u00E9\u20AC,T,0\r\n");
    QCOMPARE(high.sensorId, QString::fromUtf16(u"S\u00E9\u20AC"));
}

void TestReading::channelPairs_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("channels");
    QTest::addColumn<QString>("record");

    QTest::newRow("more announced than present")
        << "R:0,S1,T,5,a,b,c,d,e\r\n"
        << QStringList{"1=a b", "2=c d"} << kStamp + ",S1,T,5,a,b,c,d,";
    QTest::newRow("no pair") << "R:0,S1,T,3\r\n" << QStringList{} << kStamp + ",S1,T,3,";
    QTest::newRow("half a pair") << "R:0,S1,T,3,a\r\n" << QStringList{} << kStamp + ",S1,T,3,";
}

void TestReading::channelPairs()
{
    QFETCH(QString, line);
    QFETCH(QStringList, channels);
    QFETCH(QString, record);
    const Shown r = parse(line);
    QCOMPARE(r.channels, channels);
    QCOMPARE(r.record, record);
}

void TestReading::generalDate_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("text");

    const QDateTime afternoon(QDate(2014, 3, 14), QTime(15, 45, 12));
    const QDateTime morning(QDate(2014, 3, 4), QTime(9, 5, 7, 900));
    const QDateTime midnight(QDate(2014, 3, 14), QTime(0, 0, 0));
    const QDateTime justAfter(QDate(2014, 3, 14), QTime(0, 0, 1));
    QTest::newRow("en_US") << "en_US" << afternoon << "3/14/2014 3:45:12 PM";
    QTest::newRow("en_US morning") << "en_US" << morning << "3/4/2014 9:05:07 AM";
    QTest::newRow("en_US midnight") << "en_US" << midnight << "3/14/2014";
    QTest::newRow("en_US after midnight") << "en_US" << justAfter << "3/14/2014 12:00:01 AM";
    QTest::newRow("en_GB") << "en_GB" << afternoon << "14/03/2014 15:45:12";
    QTest::newRow("de_DE") << "de_DE" << afternoon << "14.03.2014 15:45:12";
    QTest::newRow("de_DE midnight") << "de_DE" << midnight << "14.03.2014";
    QTest::newRow("zone in front") << "zh_CN" << afternoon << "2014/3/14 15:45:12";
    QTest::newRow("zone in brackets")
        << "fa_IR" << afternoon << QLocale("fa_IR").toString(afternoon, "yyyy/M/d H:mm:ss");
}

void TestReading::generalDate()
{
    QFETCH(QString, locale);
    QFETCH(QDateTime, when);
    QFETCH(QString, text);
    const primary::GeneralDate date{QLocale(locale)};
    QCOMPARE(date.format(when), text);
    QVERIFY(!date.timeFormat().contains(u't'));
}

QTEST_GUILESS_MAIN(TestReading)
#include "tst_reading.moc"
