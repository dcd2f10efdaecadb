// The trend window: collecting without drawing while closed or minimised, the sensor list,
// the status line, the keyboard order and the saved pictures and points.
#include "app/trend/TrendPlot.h"
#include "app/trend/TrendWindow.h"
#include "secondary/SecondaryLink.h"
#include "tests/support/PtyPair.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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
    void sensorsAfterJunk();
    void shiftedPictureIsTheWholeOne();
    void boundSaidOnce();
    void keyboardOrder();
    void saves();
    void exportInTheBackground();
    void saveDialogWritesNoSettings();
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

void TestTrendWindow::sensorsAfterJunk()
{
    // A burst of junk identifiers does not shut out the sensor that comes after it.
    TrendWindow w;
    w.openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    feed(w, 0, 1, "S1");
    for (int i = 0; i < trend::TrendModel::MaxSensors + 20; ++i)
        w.addReading(reading(kStart.addMSecs(200 + i), QString("junk%1").arg(i), 1));
    QVERIFY(w.notice()->text().isEmpty() == false);
    const QString said = w.notice()->text();
    QVERIFY2(said.contains("1,000") || said.contains("1000"), qPrintable(said));
    feed(w, 20, 1, "S2");
    QCOMPARE(w.sensorList()->currentText(), QString("S2"));
    QCOMPARE(w.plot()->sensor(), w.model().sensorIndex("S2"));
    QCOMPARE(w.sensorList()->count(), trend::TrendModel::MaxSensors);
    QCOMPARE(w.sensorList()->findText("junk0"), -1);
    QCOMPARE(w.sensorList()->findText("junk1019"), w.model().sensorIndex("junk1019"));
    // Said once: the bound's notice that follows is not overwritten by it again.
    w.notice()->clear();
    feed(w, 21, 5, "S9");
    QVERIFY(w.notice()->text().isEmpty());
}

void TestTrendWindow::shiftedPictureIsTheWholeOne()
{
    // As time goes on the picture is shifted and only its newest columns drawn: it stays the
    // picture a whole drawing gives, pixel for pixel.
    TrendWindow w;
    w.openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.spanButtons()->button(0)->click(); // 1 min
    feed(w, 0, 400);
    QTRY_VERIFY(w.plot()->buildCount() > 0);
    for (int i = 400; i < 440; ++i) {
        const int builds = w.plot()->buildCount();
        feed(w, i, 1);
        QTRY_VERIFY(w.plot()->buildCount() > builds);
    }
    QVERIFY2(w.plot()->fullDrawCount() < w.plot()->buildCount() / 2,
             qPrintable(QString("%1 of %2 drawn whole")
                            .arg(w.plot()->fullDrawCount())
                            .arg(w.plot()->buildCount())));
    // Readings of two sensors by turns move the choice between them: each keeps its picture.
    // Once both have their pictures and axes, that is.
    int whole0 = 0;
    for (int i = 440; i < 530; ++i) {
        if (i == 500) whole0 = w.plot()->fullDrawCount();
        const int builds = w.plot()->buildCount();
        feed(w, i, 1, i % 2 ? "S2" : "S1");
        QTRY_VERIFY(w.plot()->buildCount() > builds);
    }
    QVERIFY2(w.plot()->fullDrawCount() - whole0 <= 1,
             qPrintable(QString::number(w.plot()->fullDrawCount() - whole0)));
    const QImage shown = w.plot()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QImage whole(w.plot()->size(), QImage::Format_ARGB32_Premultiplied);
    {
        QPainter painter(&whole);
        w.plot()->render(painter, whole.size());
    }
    // The same but for the shades of antialiased line edges, which depend on where a line
    // was cut: a few pixels along the lines. A line, label or grid out of place would be
    // thousands.
    const QImage expected = whole.convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.size(), expected.size());
    int differ = 0, worst = 0;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x) {
            const QRgb a = shown.pixel(x, y), b = expected.pixel(x, y);
            if (a == b) continue;
            ++differ;
            worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                              std::abs(qBlue(a) - qBlue(b))});
        }
    QVERIFY2(differ < shown.width() * shown.height() / 100,
             qPrintable(QString("%1 pixels differ, by up to %2").arg(differ).arg(worst)));
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
    // A full disk says why. As root, a private full device: a save that replaced the file
    // named instead of writing to it must not take the system's one.
    QString full = "/dev/full";
    if (geteuid() == 0) {
        full = dir.filePath("full");
        QCOMPARE(mknod(QFile::encodeName(full).constData(), S_IFCHR | 0666, makedev(1, 7)), 0);
    }
    // A FIFO nobody reads is refused, not waited on. The same for every kind of save.
    const QString fifo = dir.filePath("fifo");
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    using Save = bool (TrendWindow::*)(const QString &, QString *) const;
    for (const Save save : {&TrendWindow::savePng, &TrendWindow::saveSvg, &TrendWindow::saveCsv}) {
        QVERIFY(!(w.*save)(full, &error));
        QCOMPARE(error, QString("No space left on device"));
        QVERIFY(!QFileInfo(full).isFile());
        QVERIFY(!(w.*save)(fifo, &error));
        QCOMPARE(error, QString("No such device or address"));
        QVERIFY(!QFileInfo(fifo).isFile());
    }
}

void TestTrendWindow::exportInTheBackground()
{
    // A million points are written by a worker, with a progress bar and a Cancel button; a
    // cancelled or failed export leaves nothing behind, and readings go on coming meanwhile.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TrendWindow w;
    w.openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.spanButtons()->button(3)->click(); // all since start
    std::vector<primary::Reading> lines;
    for (int v = 0; v < 100; ++v)
        lines.push_back(reading(kStart, "S1", v));
    const double pressures[] = {14.5, 14.75, 15};
    QDateTime when = kStart.toUTC(); // no local time arithmetic per reading
    for (int i = 0; i < 333'334; ++i) {
        primary::Reading &r = lines[size_t(i % 100)];
        r.time = when = when.addMSecs(1);
        w.addReading(r);
    }
    QCOMPARE(w.model().pointCount(), 666'668);
    for (int i = 0; i < 333'332; ++i) {
        const double p = pressures[i % 3];
        w.addPressure({when = when.addMSecs(1), p, QString::number(p), QString::number(p)});
    }
    QCOMPARE(w.model().pointCount(), 1'000'000);
    QSignalSpy finished(&w, &TrendWindow::exportFinished);

    const QString cancelled = dir.filePath("cancelled.csv");
    QVERIFY(w.startCsvExport(cancelled));
    QVERIFY(w.exportProgress()->isVisible() && w.exportCancelButton()->isVisible());
    QVERIFY(!w.startCsvExport(dir.filePath("second.csv"))); // one at a time
    QTest::mouseClick(w.exportCancelButton(), Qt::LeftButton);
    QVERIFY(finished.wait(30'000));
    QCOMPARE(finished.last(), QVariantList({false, QString()}));
    QVERIFY(!w.exportProgress()->isVisible());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());

    const QString whole = dir.filePath("whole.csv");
    QVERIFY(w.startCsvExport(whole));
    feed(w, 400'000, 10); // the window goes on taking readings
    QVERIFY(finished.wait(60'000));
    QCOMPARE(finished.last(), QVariantList({true, QString()}));
    QFile f(whole);
    QVERIFY(f.open(QIODevice::ReadOnly));
    qsizetype rows = 0;
    while (!f.atEnd())
        rows += f.readLine().endsWith("\r\n");
    QCOMPARE(rows, 1 + 333'334 + 333'332); // the header, a row per reading and per pressure

    // A failed export says why and leaves no file.
    QVERIFY(w.startCsvExport(dir.filePath("missing/t.csv")));
    QVERIFY(finished.wait(30'000));
    QCOMPARE(finished.last().at(0), QVariant(false));
    QVERIFY(!finished.last().at(1).toString().isEmpty());
    QVERIFY(!QFile::exists(dir.filePath("missing")));

    // Closing the window during an export ends it.
    auto *late = new TrendWindow;
    late->addReading(reading(kStart, "S1", 1));
    QVERIFY(late->startCsvExport(dir.filePath("late.csv")));
    delete late;
}

void TestTrendWindow::saveDialogWritesNoSettings()
{
    // The save dialog keeps its history in memory: no settings file, no folder made.
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const testsupport::ScopedEnv homeVar("HOME", QFile::encodeName(home.path()));
    const testsupport::ScopedEnv config("XDG_CONFIG_HOME",
                                        QFile::encodeName(home.filePath(".config")));
    TrendWindow w;
    w.setExportFolder(home.path());
    w.openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    feed(w, 0, 5);
    QAction *png = nullptr;
    for (QAction *a : w.findChildren<QAction *>())
        if (a->text().contains("PNG")) png = a;
    QVERIFY(png);
    QStringList history;
    for (int round = 0; round < 2; ++round) {
        bool answered = false;
        QTimer::singleShot(0, &w, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            QCOMPARE(dialog->objectName(), QString("dlgTrendSave"));
            history = dialog->history();
            dialog->selectFile(home.filePath(QString("t%1.png").arg(round)));
            QMetaObject::invokeMethod(dialog, "accept");
            answered = true;
        });
        png->trigger();
        QVERIFY(answered);
    }
    QVERIFY(QFile::exists(home.filePath("t1.png")));
    QVERIFY(history.contains(home.path())); // the second dialog remembers the first
    QCOMPARE(QDir(home.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"t0.png", "t1.png"}));
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
