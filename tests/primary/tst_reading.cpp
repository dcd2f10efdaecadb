#include "primary/GeneralDate.h"
#include "primary/Reading.h"

#include <QTest>

using primary::ParsedLine;
using primary::parseReading;

namespace {

QString u16(QStringView text)
{
    return text.toString();
}

const QString kStamp = QStringLiteral("3/14/2014 3:45:12 PM");

// The channel boxes a reading sets, as "k=text" items.
QStringList channels(const ParsedLine &reading)
{
    QStringList set;
    for (int k = 0; k < int(reading.channel.size()); ++k)
        if (reading.channel[k]) set << QStringLiteral("%1=%2").arg(k).arg(*reading.channel[k]);
    return set;
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
    const ParsedLine r = parseReading(far + ",S1,T,0\r\n", kStamp);
    QVERIFY(r.labelled);
    QCOMPARE(r.sensorId, QString("S1"));
}

void TestReading::exampleLine()
{
    const ParsedLine r = parseReading(u"R:0,S100,TC4,2,21.5,C,21.7,C,0\r\n", kStamp);
    QVERIFY(r.labelled);
    QCOMPARE(r.sensorId, QString("S100"));
    QCOMPARE(r.sensorType, QString("TC4  (2)"));
    QCOMPARE(channels(r), (QStringList{"1=21.5 C", "2=21.7 C"}));
    QCOMPARE(r.typeNumber, 2);
    QCOMPARE(r.channelCount, 2);
    QVERIFY(r.recordComplete);
    QCOMPARE(r.record, kStamp + ",S100,TC4,2,21.5,C,21.7,C,");
    // The typed reading: the items as received, the number each first item starts with.
    QCOMPARE(r.reading.sensorType, QString("TC4"));
    QCOMPARE(r.reading.channels,
             (QList<primary::Channel>{{"21.5", "C", 21.5}, {"21.7", "C", 21.7}}));

    // A line without any ":" is not parsed.
    const ParsedLine unlabelled = parseReading(u"0,S100,TC4,2,21.5,C,21.7,C,0\r\n", kStamp);
    QVERIFY(!unlabelled.labelled);
    QVERIFY(!unlabelled.sensorId && !unlabelled.sensorType);
    QVERIFY(channels(unlabelled).isEmpty());
    QVERIFY(unlabelled.record.isEmpty() && !unlabelled.recordComplete);
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
    const ParsedLine r = parseReading(line + "\r\n", kStamp);
    QCOMPARE(int(r.typeNumber), typeNumber);
    QCOMPARE(int(r.channelCount), channelCount);
    QCOMPARE(r.sensorType, sensorType);

    QStringList expected;
    QString record = kStamp + ",S100,TC4," + QString::number(typeNumber) + ",";
    for (int k = 1; k <= channelCount; ++k) {
        expected << QStringLiteral("%1=v%1 u%1").arg(k);
        record += QStringLiteral("v%1,u%1,").arg(k);
    }
    QCOMPARE(channels(r), expected); // the tenth box is never set
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

    const ParsedLine r = parseReading(line, kStamp);
    QVERIFY(r.labelled);
    QCOMPARE(r.sensorId.value_or("-"), sensorId);
    QCOMPARE(r.sensorType.value_or("-"), sensorType);
    QCOMPARE(r.recordComplete, record != "-");
    QCOMPARE(r.record, record == "-" ? QString() : record);
    QVERIFY(channels(r).isEmpty());
}

void TestReading::fieldsAreOpaque()
{
    // Only the first ":" ends the label; blanks and further colons are field text.
    const ParsedLine r = parseReading(u"A:B:0, S1 ,T:x,1, 21.5 ,C \r\n", kStamp);
    QCOMPARE(r.sensorId, QString(" S1 "));
    QCOMPARE(r.sensorType, QString("T:x  (1)"));
    QCOMPARE(channels(r), QStringList{"1= 21.5  C "});
    QCOMPARE(r.reading.channels, (QList<primary::Channel>{{" 21.5 ", "C ", 21.5}}));
    // A channel's value: a real 0 is one; no number, or one too large for a double, is none.
    QCOMPARE(primary::channelValue(u"0"), 0.0);
    QCOMPARE(primary::channelValue(u"-3e1x"), -30.0);
    QCOMPARE(primary::channelValue(u"n/a"), std::nullopt);
    QCOMPARE(primary::channelValue(u"1e999"), std::nullopt);
    QCOMPARE(r.record, kStamp + ", S1 ,T:x,1, 21.5 ,C ,");

    // The terminator belongs to no field, also when the last field used is the last one.
    const ParsedLine last = parseReading(u"R:0,S100,TC4,1,21.5,C\r\n", kStamp);
    QCOMPARE(channels(last), QStringList{"1=21.5 C"});
    QVERIFY(!last.record.contains(u'\r') && !last.record.contains(u'\n'));

    // A lone CR or LF inside the line stays text; only the final CR LF is removed.
    const ParsedLine inner = parseReading(u"R:0,S\r1,T\n,4\r\n", kStamp);
    QCOMPARE(inner.sensorId, QString("S\r1"));
    QCOMPARE(inner.record, kStamp + ",S\r1,T\n,4,");

    // Characters above 127 pass through.
    const ParsedLine high = parseReading(u"R:0,S\u00E9\u20AC,T,0\r\n", kStamp);
    QCOMPARE(high.sensorId, u16(u"S\u00E9\u20AC"));
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
    const ParsedLine r = parseReading(line, kStamp);
    QCOMPARE(::channels(r), channels);
    QCOMPARE(r.record, record);
    QCOMPARE(r.reading.channels.size(), channels.size());
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
