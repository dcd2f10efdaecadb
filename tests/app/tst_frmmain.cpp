// The window: start-up, controls, layout, focus order, the single-instance rule, the data
// folder, and the wiring: each link's signal reaches its control, each control's action
// reaches its link.
#include "AppFixture.h"
#include "app/trend/TrendWindow.h"

#include "app/DisplayBox.h"
#include "app/LogView.h"
#include "app/StatusBar.h"
#include "primary/PrimaryLink.h"
#include "secondary/SecondaryLink.h"
#include "serial/TtyDevice.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
QString refusalTitle, refusalText;
void captureRefusal(const QString &title, const QString &text)
{
    refusalTitle = title;
    refusalText = text;
}
} // namespace

class TestFrmMain : public QObject {
    Q_OBJECT
private slots:
    void startupStateAndScanLog();
    void rescanGivesTheSameList();
    void secondInstanceIsRefusedAndStaleLockIsNot();
    void linkSignalsReachTheirControls();
    void controlActionsReachTheLinks();
    void typingInAPortListPicksNothing();
    void trendWindowIsWired();
};

void TestFrmMain::startupStateAndScanLog()
{
    AppWorld world;
    testsupport::PtyPair com3, com4, com5, com31;
    world.comDir.map(3, com3.slavePath());
    world.comDir.map(4, com4.slavePath());
    world.comDir.map(5, com5.slavePath());
    world.comDir.map(31, com31.slavePath());
    world.comDir.map(6, world.home.path() + QStringLiteral("/nothing-here")); // dangling
    int err = 0;
    serial::ExclusivePort holder = serial::openExclusive(com4.slavePath(), &err);
    QVERIFY(holder.isOpen());

    frmMain w;
    QVERIFY(w.Form_Load());
    const Controls &c = w.ctl;

    QCOMPARE(c.txtIncoming->toPlainText(),
             QStringLiteral("Scanning available COM hardware...\nCOM 4 already open\n"
                            "COM scan complete\nSecondary COM scan complete\n 3 port(s) found"));
    QStringList primaryEntries, secondaryEntries;
    for (int i = 0; i < c.cboPort->count(); ++i)
        primaryEntries << c.cboPort->itemText(i);
    for (int i = 0; i < c.cboStepperPort->count(); ++i)
        secondaryEntries << c.cboStepperPort->itemText(i);
    QCOMPARE(primaryEntries, QStringList({"none", " 3", " 4", " 5"}));
    QCOMPARE(secondaryEntries, QStringList({"none", "3", "5", "31"}));
    QCOMPARE(c.cboPort->currentText(), QStringLiteral("none"));
    QCOMPARE(c.cboStepperPort->currentText(), QStringLiteral("none"));
    QVERIFY(c.cboPort->itemData(1, Qt::ToolTipRole).toString().contains(com3.slavePath()));

    QCOMPARE(c.sbStatusBar->panelText(1), QStringLiteral("COM 11: 9600,n,8,1 - Closed"));
    QCOMPARE(c.sbStatusBar->panelText(2), QStringLiteral("Reading #"));
    QVERIFY(!c.sbStatusBar->panelText(4).isEmpty());
    QVERIFY(!c.sbStatusBar->panelText(5).isEmpty());
    QCOMPARE(c.txtZero->text(), QStringLiteral("0"));
    QVERIFY(c.optSave[0]->isChecked());
    QCOMPARE(w.primary->saveMode(), PrimaryLink::SaveMode::None);
    QCOMPARE(w.primary->readingCount(), 0);
    QVERIFY(!w.primary->watchdog().isActive());
    QVERIFY(!w.secondary->polling());
    QVERIFY(!w.primary->isOpen());
    QCOMPARE(w.secondary->openPort(), -1);
    for (DisplayBox *box : {c.txtSensorID, c.txtSensorType, c.txtPressure, c.txtStream2})
        QVERIFY(box->text().isEmpty());

    QVERIFY(w.NPpath.endsWith(QStringLiteral("/Documents/Brindlecast/NarwickPanel")));
    QCOMPARE(w.BCappPath + QStringLiteral("/NarwickPanel"), w.NPpath);
    QVERIFY(!QFileInfo::exists(w.BCappPath)); // never created
    holder.close();
}

void TestFrmMain::rescanGivesTheSameList()
{
    AppWorld world;
    testsupport::PtyPair a, b;
    world.comDir.map(2, a.slavePath());
    world.comDir.map(30, b.slavePath());
    frmMain w;
    QVERIFY(w.Form_Load());
    auto entries = [&] {
        QStringList l;
        for (int i = 0; i < w.ctl.cboPort->count(); ++i)
            l << w.ctl.cboPort->itemText(i);
        return l;
    };
    const QStringList first = entries();
    QCOMPARE(first, QStringList({"none", " 2", " 30"}));
    // The program's own open port is closed by the rescan and listed as free.
    QVERIFY(pick(w.ctl.cboPort, QStringLiteral(" 2")));
    QVERIFY(w.primary->isOpen());
    w.ctl.Command2->click();
    QCOMPARE(entries(), first);
    QVERIFY(!w.primary->isOpen());
    QCOMPARE(w.ctl.txtIncoming->toPlainText(),
             QStringLiteral("Scanning available COM hardware...\nCOM scan complete"));
    QCOMPARE(w.ctl.sbStatusBar->panelText(1), QStringLiteral("COM 2: 9600,n,8,1 - Closed"));

    w.ctl.Command3->click();
    QCOMPARE(w.ctl.txtIncoming->toPlainText(),
             QStringLiteral("Scanning available Secondary COM hardware...\n"
                            "Secondary COM scan complete\n 2 port(s) found"));
}

void TestFrmMain::secondInstanceIsRefusedAndStaleLockIsNot()
{
    AppWorld world;
    frmMain::showRefusal = captureRefusal;
    {
        frmMain first;
        QVERIFY(first.Form_Load());
        frmMain second;
        refusalTitle.clear();
        QVERIFY(!second.Form_Load());
        QCOMPARE(refusalTitle, QStringLiteral("Brindlecast's NarwickPanel"));
        QCOMPARE(refusalText, QStringLiteral("Brindlecast's NarwickPanel is already running\n"
                                             "Cannot load program again"));
        QVERIFY(second.NPpath.isEmpty()); // nothing else ran
        QCOMPARE(second.ctl.cboPort->count(), 0);
    }
    // A lock left by a copy that died does not block the next start.
    platform::InstanceLock probe;
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    QFile lock(probe.path());
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(child) + "\nnarwickpanel\n" +
               QSysInfo::machineHostName().toUtf8() + "\n");
    lock.close();
    frmMain next;
    refusalTitle.clear();
    QVERIFY(next.Form_Load());
    QVERIFY(refusalTitle.isEmpty());
}

void TestFrmMain::linkSignalsReachTheirControls()
{
    AppWorld world;
    frmMain w;
    QStringList messages;
    w.showMessage = [&](const QString &text) { messages << text; };
    QVERIFY(w.Form_Load());
    const Controls &c = w.ctl;
    PrimaryLink *p = w.primary;
    SecondaryLink *s = w.secondary;

    emit p->portsListed({{7, QStringLiteral("/dev/x")}});
    QCOMPARE(c.cboPort->count(), 2);
    QCOMPARE(c.cboPort->itemText(1), QStringLiteral(" 7"));
    QCOMPARE(c.cboPort->itemData(1, Qt::ToolTipRole).toString(), QStringLiteral("COM 7: /dev/x"));
    QCOMPARE(c.cboPort->currentText(), QStringLiteral("none"));
    emit s->portsListed({{8, QStringLiteral("/dev/y")}});
    QCOMPARE(c.cboStepperPort->itemText(1), QStringLiteral("8"));

    // Boxes, the count, the pressure and the stream come up within a frame.
    // The window formats a reading's boxes; a box the reading does not carry keeps its text.
    emit p->readingParsed(
        *primary::parseReading(u"R:0,S1,TC4,92,1,C,2,C,3,C,4,C,5,C,6,C,7,C,8,C,9,C"));
    emit p->readingParsed(*primary::parseReading(u"R:0,S2"));
    emit p->countChanged(42);
    emit s->pressureChanged(QStringLiteral("14.7"));
    emit s->streamChanged(QStringLiteral("P:14.7,psi\r\n"));
    QTRY_COMPARE(c.sbStatusBar->panelText(3), QStringLiteral("42"));
    QCOMPARE(c.txtSensorID->text(), QStringLiteral("S2"));
    QCOMPARE(c.txtSensorType->text(), QStringLiteral("TC4  (92)"));
    for (int k = 1; k <= 9; ++k)
        QCOMPARE(c.txtChannel[k]->text(), QStringLiteral("%1 C").arg(k));
    QCOMPARE(c.txtPressure->text(), QStringLiteral("14.7"));
    QCOMPARE(c.txtStream2->text(), QStringLiteral("P:14.7,psi\r\n"));

    // Both links write the one log.
    emit p->logReplaced(QStringLiteral("a"));
    emit s->logAppended(QStringLiteral("\r\nb"));
    emit p->logAppended(QStringLiteral("\r\nc"));
    emit p->lineLogged(QStringLiteral("d")); // a received line continues the last one
    QCOMPARE(c.txtIncoming->toPlainText(), QStringLiteral("a\nb\ncd\n"));
    emit s->logReplaced(QString());
    QCOMPARE(c.txtIncoming->toPlainText(), QString());

    emit p->portStatusChanged(QStringLiteral("COM 7: 9600,n,8,1 - Open"));
    QCOMPARE(c.sbStatusBar->panelText(1), QStringLiteral("COM 7: 9600,n,8,1 - Open"));
    emit s->zeroChanged(QStringLiteral("12.5"));
    QCOMPARE(c.txtZero->text(), QStringLiteral("12.5"));
    QCOMPARE(s->zeroText(), QStringLiteral("0")); // the window does not echo it back
    emit s->messageRequested(QStringLiteral("Reset Error-1"));
    QCOMPARE(messages, QStringList({"Reset Error-1"}));

    // "Save current reading" done: the choice and the focus go back to "Do not save readings".
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    c.optSave[2]->click();
    QCOMPARE(p->saveMode(), PrimaryLink::SaveMode::Current);
    emit p->saveModeChanged(PrimaryLink::SaveMode::None);
    QVERIFY(c.optSave[0]->isChecked());
    QCOMPARE(QApplication::focusWidget(), c.optSave[0]);
}

void TestFrmMain::controlActionsReachTheLinks()
{
    AppWorld world;
    world.makeDataFolder();
    testsupport::PtyPair instrument, gauge;
    world.comDir.map(12, instrument.slavePath());
    world.comDir.map(3, gauge.slavePath());
    frmMain w;
    QVERIFY(w.Form_Load());
    const Controls &c = w.ctl;

    // List picks open the links' ports; the save choice reaches the instrument link.
    QVERIFY(pick(c.cboPort, QStringLiteral(" 12")));
    QVERIFY(w.primary->isOpen());
    QVERIFY(pick(c.cboStepperPort, QStringLiteral("3")));
    QCOMPARE(w.secondary->openPort(), 2);
    c.optSave[1]->click();
    QCOMPARE(w.primary->saveMode(), PrimaryLink::SaveMode::All);

    // The zero: typed into its box, or taken by cmdZero.
    // Under a locale whose decimal separator is a comma.
    w.secondary->setLocale(QLocale(QLocale::German, QLocale::Germany));
    gauge.write("P:14.75,psi\r\n");
    QTRY_COMPARE(c.txtPressure->text(), QStringLiteral("14,75"));
    c.txtZero->clear();
    QTest::keyClicks(c.txtZero, QStringLiteral("4,5"));
    QCOMPARE(w.secondary->zeroText(), QStringLiteral("4,5"));
    gauge.write("P:14.75,psi\r\n");
    QTRY_COMPARE(c.txtPressure->text(), QStringLiteral("10,25"));
    c.cmdZero->click();
    QCOMPARE(w.secondary->zeroText(), QStringLiteral("14.75"));
    QCOMPARE(c.txtZero->text(), QStringLiteral("14.75"));

    // A record carries the pressure of the gauge link at the moment of saving, with "." as
    // its decimal separator whatever the box shows.
    instrument.write("R:0,S100,TC4,1,21.5,C\r\n");
    QTRY_COMPARE(c.sbStatusBar->panelText(3), QStringLiteral("1"));
    QFile f(world.dataFolder() + QStringLiteral("/S100.txt"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll().endsWith(",S100,TC4,1,21.5,C,10.25,psi\r\n"));
    QCOMPARE(instrument.readSent(), QByteArray());
    QCOMPARE(gauge.readSent(), QByteArray());

    // The refresh buttons rescan, and the log starts anew with each scan.
    c.Command2->click();
    QVERIFY(!w.primary->isOpen());
    QVERIFY(c.txtIncoming->toPlainText().startsWith(
        QStringLiteral("Scanning available COM hardware...")));
    c.Command3->click();
    QCOMPARE(w.secondary->openPort(), -1);
    QVERIFY(c.txtIncoming->toPlainText().startsWith(
        QStringLiteral("Scanning available Secondary COM hardware...")));
}

void TestFrmMain::typingInAPortListPicksNothing()
{
    AppWorld world;
    testsupport::PtyPair instrument, gauge;
    world.comDir.map(12, instrument.slavePath());
    world.comDir.map(3, gauge.slavePath());
    frmMain w;
    QVERIFY(w.Form_Load());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const Controls &c = w.ctl;
    QVERIFY(pick(c.cboPort, QStringLiteral(" 12")));
    instrument.write("R:0,S1,T,0\r\n");
    QTRY_COMPARE(c.sbStatusBar->panelText(3), QStringLiteral("1"));
    const QString log = c.txtIncoming->toPlainText();
    const int primaryEntries = c.cboPort->count();
    const int gaugeEntries = c.cboStepperPort->count();

    // "n" then Tab in the instrument's list: no completion to "none", no pick.
    c.cboPort->setFocus();
    c.cboPort->lineEdit()->clear();
    QTest::keyClicks(c.cboPort, QStringLiteral("n"));
    QTest::keyClick(c.cboPort, Qt::Key_Tab);
    QVERIFY(!c.cboPort->hasFocus());
    QCOMPARE(c.cboPort->currentText(), QStringLiteral("n")); // kept as typed
    QVERIFY(w.primary->isOpen());
    QCOMPARE(c.sbStatusBar->panelText(3), QStringLiteral("1"));
    QCOMPARE(c.txtIncoming->toPlainText(), log);
    // Typing an entry's exact text and Enter picks nothing either, and adds nothing.
    c.cboPort->setFocus();
    c.cboPort->lineEdit()->clear();
    QTest::keyClicks(c.cboPort, QStringLiteral("none"));
    QTest::keyClick(c.cboPort, Qt::Key_Return);
    QTest::keyClick(c.cboPort, Qt::Key_Tab);
    QVERIFY(w.primary->isOpen());
    QCOMPARE(c.cboPort->count(), primaryEntries);

    // "3" then Enter in the gauge's list opens nothing.
    c.cboStepperPort->setFocus();
    c.cboStepperPort->lineEdit()->clear();
    QTest::keyClicks(c.cboStepperPort, QStringLiteral("3"));
    QTest::keyClick(c.cboStepperPort, Qt::Key_Return);
    QTest::keyClick(c.cboStepperPort->lineEdit(), Qt::Key_Enter); // the text part itself
    QCOMPARE(w.secondary->openPort(), -1);
    QTest::keyClick(c.cboStepperPort, Qt::Key_Tab);
    QVERIFY(!c.cboStepperPort->hasFocus());
    QCOMPARE(w.secondary->openPort(), -1);
    QCOMPARE(c.cboStepperPort->count(), gaugeEntries);
    QCOMPARE(c.cboStepperPort->currentText(), QStringLiteral("3"));

    // Choosing an entry with the arrow keys is a pick.
    QTest::keyClick(c.cboStepperPort, Qt::Key_Down);
    QCOMPARE(w.secondary->openPort(), 2);
    QCOMPARE(instrument.readSent(), QByteArray());
    QCOMPARE(gauge.readSent(), QByteArray());
}

void TestFrmMain::trendWindowIsWired()
{
    AppWorld world;
    frmMain w;
    QVERIFY(w.Form_Load());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    trend::TrendWindow *t = w.trendWindow.get();
    QVERIFY(!t->isVisible());

    // Readings and the pressure are collected while the window is closed.
    const QDateTime now = QDateTime::currentDateTime();
    primary::Reading reading = *primary::parseReading(u"R:0,S1,TC,1,21.5,C\r\n");
    reading.time = now;
    emit w.primary->readingParsed(reading);
    emit w.secondary->pressureMeasured({now, 14.7, "14.7", "14.7"});
    emit w.secondary->pressureMeasured({now, std::nullopt, "x", ""}); // no pressure: a gap
    QCOMPARE(t->model().pointCount(), 3);
    QCOMPARE(t->model().sensors(), QStringList{"S1"});

    // A double click on a channel box opens it; so does Ctrl+T, on the open window too.
    QVERIFY(w.ctl.txtChannel[3]->toolTip().contains("trend"));
    QTest::mouseDClick(w.ctl.txtChannel[3], Qt::LeftButton);
    QVERIFY(t->isVisible());
    QCOMPARE(t->windowTitle(), QStringLiteral("NarwickPanel Trend"));
    t->close();
    QTest::mouseDClick(w.ctl.txtPressure, Qt::LeftButton);
    QVERIFY(t->isVisible());
    t->close();
    w.activateWindow();
    QTest::keyClick(&w, Qt::Key_T, Qt::ControlModifier);
    QVERIFY(t->isVisible());

    // Closing the main window closes it too.
    w.close();
    QVERIFY(!t->isVisible());
}

QTEST_MAIN(TestFrmMain)
#include "tst_frmmain.moc"
