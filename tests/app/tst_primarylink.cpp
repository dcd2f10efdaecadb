// The primary link through real pseudo-terminals: pick, receive, count, echo, save, the
// watchdog and hang-ups, as the operator sees them in the window.
#include "AppFixture.h"

#include "app/LogView.h"
#include "app/StatusBar.h"
#include "primary/PrimaryLink.h"
#include "serial/MSComm.h"
#include "serial/TtyDevice.h"

#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QTimer>
#include <QToolButton>
#include <unistd.h>

class TestPrimaryLink : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void pickReceiveCountAndEcho();
    void noneAndRepickAndRefusedOpen();
    void savingAllAndCurrentReading();
    void unsafeIdentifiersAndSaveFailuresAreReportedOnce();
    void watchdogArmsAfterFirstLineAndStopsWhenReleased();
    void hangUpAndReturnUnderTheSameNumber();
    void nothingLostAcrossRandomChunks();

private:
    std::unique_ptr<AppWorld> world;
    std::unique_ptr<testsupport::PtyPair> device;
    std::unique_ptr<frmMain> w;
    QString panel(int i) const { return w->ctl.sbStatusBar->panelText(i); }
};

void TestPrimaryLink::init()
{
    world = std::make_unique<AppWorld>();
    device = std::make_unique<testsupport::PtyPair>();
    world->comDir.map(12, device->slavePath());
    w = std::make_unique<frmMain>();
    QVERIFY(w->Form_Load());
}

void TestPrimaryLink::cleanup()
{
    if (device && device->isValid())
        QCOMPARE(device->readSent(), QByteArray()); // nothing is ever sent to the device
    w.reset();
    device.reset();
    world.reset();
}

void TestPrimaryLink::pickReceiveCountAndEcho()
{
    const Controls &c = w->ctl;
    QVERIFY(pick(c.cboPort, QStringLiteral(" 12")));
    QVERIFY(w->MSComm1->PortOpen());
    QCOMPARE(panel(1), QStringLiteral("COM 12: 9600,n,8,1 - Open"));
    QCOMPARE(panel(3), QStringLiteral("0"));
    QCOMPARE(c.txtIncoming->toPlainText(), QString());

    // A line in pieces, a CR at the end of one write and its LF at the start of the next,
    // then three lines at once, an empty line, and lone CR / LF kept as text.
    device->write("R:0,S100,TC4,2,21.5,C,");
    QTest::qWait(50);
    device->write("21.7,C,0\r");
    QTest::qWait(50);
    QCOMPARE(panel(3), QStringLiteral("0"));
    device->write("\nR:0,S7,K,1,5,V\r\nX:0,S8,J,0\r\n\r\n");
    QTRY_COMPARE(panel(3), QStringLiteral("4"));
    QCOMPARE(c.txtSensorID->text(), QStringLiteral("S8"));
    QCOMPARE(c.txtSensorType->text(), QStringLiteral("J  (0)"));
    QCOMPARE(c.txtChannel[1]->text(), QStringLiteral("5 V"));
    QCOMPARE(c.txtChannel[2]->text(), QStringLiteral("21.7 C")); // missing channels keep text
    QCOMPARE(c.txtIncoming->toPlainText(),
             QStringLiteral("R:0,S100,TC4,2,21.5,C,21.7,C,0\nR:0,S7,K,1,5,V\nX:0,S8,J,0\n\n"));

    device->write("a\rb\nc\r\n");
    QTRY_COMPARE(panel(3), QStringLiteral("5"));
    QCOMPARE(w->primary->ReadingCount, qint16(5));
    // Windows-1252 bytes become their characters.
    device->write("R:0,\xB5V\x80,T,0\r\n");
    QTRY_COMPARE(c.txtSensorID->text(), QStringLiteral("\u00B5V\u20AC"));
    // A huge line is parsed whole but shown in the log up to 4096 characters.
    const QByteArray id(10000, 'x');
    device->write("R:0," + id + ",T,0\r\n");
    QTRY_COMPARE(c.txtSensorID->text().size(), 10000);
    const QString last = c.txtIncoming->toPlainText().section(QLatin1Char('\n'), -2, -2);
    QVERIFY(last.startsWith(QStringLiteral("R:0,xxx")));
    QVERIFY2(last.endsWith(QStringLiteral(" [5912 more characters not shown]")),
             qPrintable(last.right(60)));
}

void TestPrimaryLink::noneAndRepickAndRefusedOpen()
{
    const Controls &c = w->ctl;
    QVERIFY(pick(c.cboPort, QStringLiteral(" 12")));
    device->write("R:0,S1,T,0\r\n");
    QTRY_COMPARE(panel(3), QStringLiteral("1"));

    // Re-picking the open port closes and reopens it; the count and log restart.
    QVERIFY(pick(c.cboPort, QStringLiteral(" 12")));
    QVERIFY(w->MSComm1->PortOpen());
    QCOMPARE(panel(3), QStringLiteral("0"));
    QCOMPARE(c.txtIncoming->toPlainText(), QString());

    // "none" while open.
    QVERIFY(pick(c.cboPort, QStringLiteral("none")));
    QVERIFY(!w->MSComm1->PortOpen());
    QCOMPARE(panel(1), QStringLiteral("COM 12: 9600,n,8,1 - Closed"));
    QCOMPARE(panel(3), QStringLiteral("0"));
    device->write("R:0,S2,T,0\r\n");
    QTest::qWait(100);
    QCOMPARE(panel(3), QStringLiteral("0"));

    // Another program holds the port: the pick says why in the log, without a dialog.
    int err = 0;
    const int holder = serial::openExclusive(device->slavePath(), &err);
    QVERIFY(holder >= 0);
    QVERIFY(pick(c.cboPort, QStringLiteral(" 12")));
    QVERIFY(!w->MSComm1->PortOpen());
    QCOMPARE(panel(1), QStringLiteral("COM 12: 9600,n,8,1 - Closed"));
    QCOMPARE(panel(3), QStringLiteral("0"));
    const QString log = c.txtIncoming->toPlainText();
    QVERIFY2(log.startsWith(QStringLiteral("COM 12 could not be opened: ")), qPrintable(log));
    QVERIFY(!log.contains(QLatin1Char('\n')));
    serial::closeExclusive(holder);
}

void TestPrimaryLink::savingAllAndCurrentReading()
{
    world->makeDataFolder();
    const Controls &c = w->ctl;
    QVERIFY(pick(c.cboPort, QStringLiteral(" 12")));
    c.txtPressure->setText(QStringLiteral("14.7"));
    c.optSave[1]->click();
    QCOMPARE(w->primary->SaveMode, qint16(1));
    device->write("R:0,S100,TC4,2,21.5,C,21.7,C,0\r\nR:0,S101,TC4,0\r\nR:0,S100,TC4\r\n"
                  "R:0,S102\r\nnolabel\r\n");
    QTRY_COMPARE(panel(3), QStringLiteral("5"));
    QFile s100(world->dataFolder() + QStringLiteral("/S100.txt"));
    QVERIFY(s100.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = s100.readAll().split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].endsWith(",S100,TC4,2,21.5,C,21.7,C,14.7,psi\r"));
    QVERIFY(lines[1].endsWith(",S100,TC4,0,14.7,psi\r")); // three fields: one line, not two
    QVERIFY(QFileInfo::exists(world->dataFolder() + QStringLiteral("/S101.txt")));
    QVERIFY(!QFileInfo::exists(world->dataFolder() + QStringLiteral("/S102.txt")));

    // Save current reading: one record, then the choice returns with the focus.
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    c.txtPressure->clear();
    c.optSave[2]->click();
    QCOMPARE(w->primary->SaveMode, qint16(2));
    device->write("nolabel\r\n"); // does not reach the save step: stays armed
    QTRY_COMPARE(panel(3), QStringLiteral("6"));
    QCOMPARE(w->primary->SaveMode, qint16(2));
    device->write("R:0,S103,T,1,1,A\r\nR:0,S103,T,1,2,A\r\n");
    QTRY_COMPARE(panel(3), QStringLiteral("8"));
    QVERIFY(c.optSave[0]->isChecked());
    QCOMPARE(w->primary->SaveMode, qint16(0));
    QCOMPARE(QApplication::focusWidget(), c.optSave[0]);
    QFile s103(world->dataFolder() + QStringLiteral("/S103.txt"));
    QVERIFY(s103.open(QIODevice::ReadOnly));
    const QByteArray one = s103.readAll();
    QCOMPARE(one.count('\n'), 1);
    QVERIFY(one.endsWith(",S103,T,1,1,A,,psi\r\n"));
}

void TestPrimaryLink::unsafeIdentifiersAndSaveFailuresAreReportedOnce()
{
    const Controls &c = w->ctl;
    QVERIFY(pick(c.cboPort, QStringLiteral(" 12")));
    c.optSave[1]->click();
    // The data folder is missing: said once, not per line.
    device->write("R:0,S1,T,0\r\nR:0,S1,T,0\r\nR:0,S1,T,0\r\n");
    QTRY_COMPARE(panel(3), QStringLiteral("3"));
    QString log = c.txtIncoming->toPlainText();
    QCOMPARE(log.count(QStringLiteral("R:0,S1,T,0")), 3);
    const int failures = log.split(QLatin1Char('\n')).size() - 3 - 1;
    QCOMPARE(failures, 1);

    // Unsafe identifiers never reach the file system.
    world->makeDataFolder();
    device->write("R:0,../x,T,0\r\nR:0,a/b,T,0\r\nR:0,CON,T,0\r\nR:0,ok,T,0\r\n");
    QTRY_COMPARE(panel(3), QStringLiteral("7"));
    log = c.txtIncoming->toPlainText();
    QVERIFY2(log.contains(QStringLiteral("../x")), qPrintable(log));
    const QDir data(world->dataFolder());
    QCOMPARE(data.entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList({"ok.txt"}));
    QVERIFY(
        !QFileInfo::exists(world->home.path() + QStringLiteral("/Documents/Brindlecast/x.txt")));
}

void TestPrimaryLink::watchdogArmsAfterFirstLineAndStopsWhenReleased()
{
    const Controls &c = w->ctl;
    w->primary->setWatchdogInterval(150);
    QVERIFY(pick(c.cboPort, QStringLiteral(" 12")));
    QTest::qWait(400);
    QVERIFY(!c.Timer1->isActive()); // idle before the first line
    device->write("R:0,S1,T,0\r\n");
    QTRY_VERIFY(c.Timer1->isActive());
    // After silence it reopens the port and keeps the link working.
    QTest::qWait(500);
    QVERIFY(w->MSComm1->PortOpen());
    device->write("R:0,S2,T,0\r\n");
    QTRY_COMPARE(c.txtSensorID->text(), QStringLiteral("S2"));

    // A port the user released stays closed.
    QVERIFY(pick(c.cboPort, QStringLiteral("none")));
    QVERIFY(!c.Timer1->isActive());
    QTest::qWait(400);
    QVERIFY(!w->MSComm1->PortOpen());
    // And a rescan that closed the port does not leave the watchdog running either.
    QVERIFY(pick(c.cboPort, QStringLiteral(" 12")));
    device->write("R:0,S3,T,0\r\n");
    QTRY_VERIFY(c.Timer1->isActive());
    c.Command2->click();
    QVERIFY(!c.Timer1->isActive());
    QTest::qWait(400);
    QVERIFY(!w->MSComm1->PortOpen());
}

void TestPrimaryLink::hangUpAndReturnUnderTheSameNumber()
{
    const Controls &c = w->ctl;
    w->primary->setWatchdogInterval(200);
    QVERIFY(pick(c.cboPort, QStringLiteral(" 12")));
    device->write("R:0,S1,T,0\r\nR:0,PART");
    QTRY_COMPARE(panel(3), QStringLiteral("1"));
    device->hangUp();
    world->comDir.unmap(12); // the device node is gone while it is away
    QTRY_VERIFY(!w->MSComm1->PortOpen());
    QTest::qWait(600); // a few watchdog ticks while the device is away
    const QString log = c.txtIncoming->toPlainText();
    QVERIFY2(log.count(QStringLiteral("went away")) == 1, qPrintable(log));

    auto back = std::make_unique<testsupport::PtyPair>();
    world->comDir.map(12, back->slavePath());
    device = std::move(back);
    QTRY_VERIFY(w->MSComm1->PortOpen());
    device->write("IAL,T,0\r\n");
    QTRY_COMPARE(panel(3), QStringLiteral("2"));
    // The partial line kept across the gap is joined.
    QCOMPARE(c.txtSensorID->text(), QStringLiteral("PARTIAL"));
}

void TestPrimaryLink::nothingLostAcrossRandomChunks()
{
    world->makeDataFolder();
    const Controls &c = w->ctl;
    QVERIFY(pick(c.cboPort, QStringLiteral(" 12")));
    c.optSave[1]->click();
    c.txtPressure->setText(QStringLiteral("1"));
    constexpr int Lines = 100000;
    QByteArray stream;
    for (int i = 0; i < Lines; ++i)
        stream += "R:0,S" + QByteArray::number(i % 3) + ",T,1," + QByteArray::number(i) + ",C\r\n";
    // The test plays the device in the program's own thread: write what the pty takes, in
    // random chunk sizes, and let the program read between writes.
    QRandomGenerator rng(42);
    qsizetype at = 0;
    QElapsedTimer guard;
    guard.start();
    while (at < stream.size() && guard.elapsed() < 120000) {
        const qsizetype n = qMin<qsizetype>(1 + rng.bounded(4000), stream.size() - at);
        const ssize_t written = ::write(device->masterFd(), stream.constData() + at, n);
        if (written > 0) at += written;
        QCoreApplication::processEvents();
    }
    QCOMPARE(at, stream.size());
    QTRY_COMPARE_WITH_TIMEOUT(panel(3), QStringLiteral("32767"), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(
        c.txtIncoming->toPlainText().endsWith(QStringLiteral("R:0,S0,T,1,99999,C\n")), 60000);
    QCOMPARE(w->primary->ReadingCount, qint16(32767));
    for (int s = 0; s < 3; ++s) {
        QFile f(world->dataFolder() + QStringLiteral("/S%1.txt").arg(s));
        QVERIFY(f.open(QIODevice::ReadOnly));
        int expected = s;
        int count = 0;
        while (!f.atEnd()) {
            const QByteArray line = f.readLine();
            const QByteArray want = ",S" + QByteArray::number(s) + ",T,1," +
                                    QByteArray::number(expected) + ",C,1,psi\r\n";
            if (!line.endsWith(want))
                QFAIL(qPrintable(QStringLiteral("S%1 line %2: %3")
                                     .arg(s)
                                     .arg(count)
                                     .arg(QString::fromLatin1(line))));
            expected += 3;
            ++count;
        }
        QCOMPARE(count, (Lines - s + 2) / 3);
    }
    QCOMPARE(c.txtIncoming->blockCount(), 10000);
}

QTEST_MAIN(TestPrimaryLink)
#include "tst_primarylink.moc"
