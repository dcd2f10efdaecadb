// The trend window: collecting without drawing while closed or minimised, the sensor list,
// the status line, the keyboard order and the saved pictures and points.
#include "app/trend/TrendPlot.h"
#include "app/trend/TrendWindow.h"
#include "secondary/SecondaryLink.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QImage>
#include <QLabel>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QTest>

using trend::TrendWindow;

namespace {

const QDateTime kStart = QDateTime::fromMSecsSinceEpoch(1'765'000'000'000);

primary::Reading reading(const QDateTime &when, const QString &id, double value)
{
    primary::Reading r = *primary::parseReading(
        QStringLiteral("R:0,%1,TC,2,%2,C,%3,mV\r\n").arg(id).arg(value).arg(value * 2));
    r.time = when;
    return r;
}

void feed(TrendWindow &w, int from, int count, const QString &id = "S1")
{
    for (int i = from; i < from + count; ++i) {
        w.addReading(reading(kStart.addMSecs(i * 100), id, std::sin(i / 10.0) * 10));
        const double p = 14 + i % 7 * 0.1;
        w.addPressure({kStart.addMSecs(i * 100 + 50), p, QString::number(p), QString::number(p)});
    }
}

int shownPoints(const TrendWindow &w)
{
    return w.pointsLabel()->text().section(u' ', 0, 0).toInt();
}

} // namespace

class TestTrendWindow : public QObject {
    Q_OBJECT
private slots:
    void closedAndMinimisedDrawNothing();
    void sensorListFollowsUntilPicked();
    void boundSaidOnce();
    void keyboardOrder();
    void saves();
    void pressureAfterLocaleChange();
};

void TestTrendWindow::closedAndMinimisedDrawNothing()
{
    TrendWindow w;
    QCOMPARE(w.windowTitle(), QString("NarwickPanel Trend"));
    QVERIFY(!w.testAttribute(Qt::WA_QuitOnClose));
    feed(w, 0, 50);
    QCOMPARE(w.model().pointCount(), 150);
    QCOMPARE(w.plot()->buildCount(), 0);
    QCOMPARE(w.sensorList()->count(), 0); // brought up to date when shown

    w.openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTRY_VERIFY(w.plot()->buildCount() > 0);
    QCOMPARE(w.sensorList()->count(), 1);
    QCOMPARE(shownPoints(w), 150);

    // New points reach the picture while it is on screen.
    feed(w, 50, 10);
    QTRY_COMPARE(shownPoints(w), 180);

    w.showMinimized();
    QTRY_VERIFY(w.isMinimized());
    QCoreApplication::processEvents();
    const int builds = w.plot()->buildCount();
    feed(w, 60, 10);
    QCoreApplication::processEvents();
    QCOMPARE(w.plot()->buildCount(), builds);

    // Opening again restores the window, and the picture catches up.
    w.openWindow();
    QTRY_VERIFY(!w.isMinimized());
    QTRY_COMPARE(shownPoints(w), 210);

    w.close();
    const int closedBuilds = w.plot()->buildCount();
    feed(w, 70, 10);
    QCoreApplication::processEvents();
    QCOMPARE(w.plot()->buildCount(), closedBuilds);
    QCOMPARE(w.model().pointCount(), 240);
}

void TestTrendWindow::sensorListFollowsUntilPicked()
{
    TrendWindow w;
    w.openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    feed(w, 0, 1, "S7");
    feed(w, 1, 1, "S3");
    QCOMPARE(w.sensorList()->count(), 2);
    QCOMPARE(w.sensorList()->itemText(0), QString("S7"));
    QCOMPARE(w.sensorList()->currentText(), QString("S3")); // the newest reading's sensor
    QCOMPARE(w.plot()->sensor(), 1);
    feed(w, 2, 1, "S7");
    QCOMPARE(w.sensorList()->currentText(), QString("S7"));

    // The operator's pick holds against new readings.
    QTest::keyClick(w.sensorList(), Qt::Key_Down); // S7 -> S3, as an activation
    QCOMPARE(w.sensorList()->currentText(), QString("S3"));
    feed(w, 3, 2, "S7");
    feed(w, 5, 1, "S8");
    QCOMPARE(w.sensorList()->currentText(), QString("S3"));
    QCOMPARE(w.plot()->sensor(), 1);
    QCOMPARE(w.sensorList()->count(), 3);
}

void TestTrendWindow::boundSaidOnce()
{
    TrendWindow w(nullptr, 100);
    feed(w, 0, 33); // 99 points
    QVERIFY(w.notice()->text().isEmpty());
    feed(w, 33, 1);
    const QString said = w.notice()->text();
    QVERIFY2(said.contains("100") && said.contains("oldest"), qPrintable(said));
    feed(w, 34, 100);
    QCOMPARE(w.notice()->text(), said);
    QCOMPARE(w.model().pointCount(), 100);
}

void TestTrendWindow::keyboardOrder()
{
    TrendWindow w;
    w.openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.sensorList()->setFocus();
    QList<QWidget *> order{w.sensorList()};
    for (int i = 0; i < 6; ++i)
        order << order.last()->nextInFocusChain();
    QList<QWidget *> expected{w.sensorList()};
    for (QAbstractButton *b : w.spanButtons()->buttons())
        expected << b;
    expected << w.pressureBox() << w.plot();
    QCOMPARE(order, expected);
    QVERIFY(!w.plot()->accessibleName().isEmpty());
    QVERIFY(!w.plot()->accessibleDescription().isEmpty());

    // The span buttons and the check box change the picture.
    w.spanButtons()->button(0)->click();
    QCOMPARE(w.plot()->span(), 60'000);
    w.spanButtons()->button(3)->click();
    QCOMPARE(w.plot()->span(), 0);
    w.pressureBox()->click();
    QVERIFY(!w.plot()->pressureShown());
}

void TestTrendWindow::saves()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TrendWindow w;
    w.openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    feed(w, 0, 300);
    w.spanButtons()->button(0)->click(); // the last minute: 30 s of points

    const QString png = dir.filePath("t.png");
    QString error;
    QVERIFY2(w.savePng(png, &error), qPrintable(error));
    QImage image(png);
    QCOMPARE(image.size(), w.plot()->size());
    // Lines in the channels' colours are drawn, not only a white page.
    int coloured = 0;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2) {
            const QColor c = image.pixelColor(x, y);
            coloured += c.saturation() > 100;
        }
    QVERIFY2(coloured > 100, qPrintable(QString::number(coloured)));

    const QString svg = dir.filePath("t.svg");
    QVERIFY2(w.saveSvg(svg, &error), qPrintable(error));
    QSvgRenderer renderer(svg);
    QVERIFY(renderer.isValid());
    QCOMPARE(renderer.viewBox(), QRect(QPoint(0, 0), w.plot()->size()));

    // The points of the span shown, the pressure hidden.
    w.pressureBox()->setChecked(false);
    const QString csv = dir.filePath("t.csv");
    QVERIFY2(w.saveCsv(csv, &error), qPrintable(error));
    QFile f(csv);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QStringList rows = QString::fromUtf8(f.readAll()).split("\r\n", Qt::SkipEmptyParts);
    QCOMPARE(rows.first(), QString("Time,Channel 1 (C),Channel 2 (mV)"));
    QCOMPARE(rows.size(), 301);

    // A file that cannot be written is reported, not claimed as saved.
    QVERIFY(!w.savePng(dir.filePath("missing/t.png"), &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!w.saveCsv(dir.filePath("missing/t.csv"), &error));
}

// The trend takes the gauge link's value, not its text: after the locale changes to a decimal
// comma, "13,5" in the box is still 13.5 in the trend. Queued, as across threads.
void TestTrendWindow::pressureAfterLocaleChange()
{
    SecondaryLink link;
    TrendWindow w;
    QDateTime now = kStart;
    link.setClock([&now] { return now; });
    QObject::connect(&link, &SecondaryLink::pressureMeasured, &w, &TrendWindow::addPressure,
                     Qt::QueuedConnection);
    w.addReading(reading(kStart, "S1", 1));
    for (const auto &[locale, line] : {std::pair{QLocale::c(), "P:12.5,psi"},
                                       std::pair{QLocale(QLocale::German), "P:13.5,psi"}}) {
        now = now.addSecs(1);
        link.setLocale(locale);
        QString text = QString::fromLatin1(line);
        link.SmallStream(text);
    }
    QCOMPARE(link.pressureText(), QString("13,5"));
    QTRY_COMPARE(w.model().pointCount(), 4);
    trend::Picture p;
    w.model().decimate(0, kStart.toMSecsSinceEpoch(), now.toMSecsSinceEpoch(), 3, true, p);
    QCOMPARE(p.series[trend::Picture::Pressure].columns[1].last, 12.5);
    QCOMPARE(p.pressureAtEnd, 13.5);
}

QTEST_MAIN(TestTrendWindow)
#include "tst_trendwindow.moc"
