// Leading-number rule, text form of a number and sign-position form.
#include "secondary/Numbers.h"

#include <QTest>
#include <cmath>
#include <limits>

using namespace secondary;

class TestNumbers : public QObject {
    Q_OBJECT
private slots:
    void leadingNumberReadsPrefix_data();
    void leadingNumberReadsPrefix();
    void leadingNumberOutOfRange();
    void textForm_data();
    void textForm();
    void textFormUsesLocaleSeparator_data();
    void textFormUsesLocaleSeparator();
    void signPositionForm_data();
    void signPositionForm();
};

void TestNumbers::leadingNumberReadsPrefix_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("found"); // false: no number at all (not a real 0)
    QTest::newRow("plain") << "12.5" << 12.5 << true;
    QTest::newRow("line end stops") << "12.5\r\n" << 12.5 << true;
    QTest::newRow("space inside") << "1 2.5" << 12.5 << true;
    QTest::newRow("leading blanks and sign") << "  -  3.25" << -3.25 << true;
    QTest::newRow("no number") << "abc" << 0.0 << false;
    QTest::newRow("lone point") << "." << 0.0 << false;
    QTest::newRow("lone sign") << "-" << 0.0 << false;
    QTest::newRow("sign and point") << "-.x" << 0.0 << false;
    QTest::newRow("point first") << ".5" << 0.5 << true;
    QTest::newRow("second point stops") << "1.2.3" << 1.2 << true;
    QTest::newRow("comma is not a point") << "1,5" << 1.0 << true;
    QTest::newRow("exponent") << "-3e2x" << -300.0 << true;
    QTest::newRow("exponent without digits") << "4e+x" << 4.0 << true;
    QTest::newRow("D is no exponent") << "4d2" << 4.0 << true;
    QTest::newRow("hex") << "&H1F" << 31.0 << true;
    QTest::newRow("hex lower case") << "&hff" << 255.0 << true;
    QTest::newRow("octal") << "&O17" << 15.0 << true;
    QTest::newRow("octal stops at 8") << "&O178" << 15.0 << true;
    QTest::newRow("CR stops before digits") << "\r5" << 0.0 << false;
    QTest::newRow("real zero") << " -0.0 C" << -0.0 << true;
    QTest::newRow("hex without digits") << "&Hx" << 0.0 << false;
    QTest::newRow("ampersand alone") << "&5" << 0.0 << false;
    QTest::newRow("psi field") << " 14.70 psi" << 14.7 << true;
}

void TestNumbers::leadingNumberReadsPrefix()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    QFETCH(bool, found);
    QCOMPARE(leadingNumber(text), value);
    QCOMPARE(secondary::hasLeadingNumber(text), found);
}

void TestNumbers::leadingNumberOutOfRange()
{
    QVERIFY(std::isinf(leadingNumber(u"1e999")));
    QVERIFY(leadingNumber(u"-1e999") < 0);
    QCOMPARE(leadingNumber(u"1e-999"), 0.0);
    QCOMPARE(leadingNumber(u"0.000001e-999"), 0.0);
    QVERIFY(std::isinf(leadingNumber(u"100000e305")));
    QCOMPARE(leadingNumber(u"0e99999999999999"), 0.0);
    const QString manyDigits = QString(400, u'9');
    QVERIFY(std::isinf(leadingNumber(manyDigits)));
    QVERIFY(std::isfinite(leadingNumber(QStringLiteral("&H") + QString(200, u'F'))));
    QVERIFY(std::isinf(leadingNumber(QStringLiteral("&H") + QString(300, u'F'))));
}

void TestNumbers::textForm_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("12.5") << 12.5 << "12.5";
    QTest::newRow("zero difference") << 12.5 - 12.5 << "0";
    QTest::newRow("negative zero") << -0.0 << "0";
    QTest::newRow("negative") << 3 - 4.25 << "-1.25";
    QTest::newRow("0.1 + 0.2") << 0.1 + 0.2 << "0.3";
    QTest::newRow("below one") << 0.5 << "0.5";
    QTest::newRow("whole") << 100.0 << "100";
    QTest::newRow("15 digits plain") << 123456789012345.0 << "123456789012345";
    QTest::newRow("rounded to 15 digits") << 1.23456789012345678 << "1.23456789012346";
    QTest::newRow("rounding carries") << 9.999999999999999 << "10";
    QTest::newRow("16 digits") << 1234567890123456.0 << "1.23456789012346E+15";
    QTest::newRow("large") << 1e20 << "1E+20";
    QTest::newRow("smallest plain") << 0.0001 << "0.0001";
    QTest::newRow("small") << 0.00001 << "1E-05";
    QTest::newRow("small with digits") << 1.5e-7 << "1.5E-07";
    QTest::newRow("tiny") << 5e-324 << "4.94065645841247E-324";
    QTest::newRow("largest double")
        << std::numeric_limits<double>::max() << "1.79769313486232E+308";
}

void TestNumbers::textForm()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(numberText(value, QLocale::c()), text);
}

void TestNumbers::textFormUsesLocaleSeparator_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("en decimal") << "en_US" << -1.25 << "-1.25";
    QTest::newRow("de decimal") << "de_DE" << -1.25 << "-1,25";
    QTest::newRow("de below one") << "de_DE" << 0.3 << "0,3";
    QTest::newRow("de whole has no separators") << "de_DE" << 1234567.0 << "1234567";
    QTest::newRow("de exponent") << "de_DE" << 1.5e-7 << "1,5E-07";
}

void TestNumbers::textFormUsesLocaleSeparator()
{
    QFETCH(QString, locale);
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(numberText(value, QLocale(locale)), text);
}

void TestNumbers::signPositionForm_data()
{
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("positive") << qint64(7) << " 7";
    QTest::newRow("zero") << qint64(0) << " 0";
    QTest::newRow("negative") << qint64(-5) << "-5";
    QTest::newRow("16-bit limits") << qint64(-32768) << "-32768";
}

void TestNumbers::signPositionForm()
{
    QFETCH(qint64, value);
    QFETCH(QString, text);
    QCOMPARE(signPosition(value), text);
}

QTEST_APPLESS_MAIN(TestNumbers)
#include "tst_numbers.moc"
