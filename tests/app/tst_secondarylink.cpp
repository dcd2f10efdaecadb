// The secondary link through real pseudo-terminals: scan, open, polling, pressure and zero,
// and both links side by side.
#include "AppFixture.h"

#include "app/LogView.h"
#include "app/StatusBar.h"
#include "primary/PrimaryLink.h"
#include "secondary/SecondaryLink.h"
#include "serial/MSComm.h"
#include "serial/TtyDevice.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>
#include <termios.h>

class TestSecondaryLink : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void scanListsFreePortsOnly();
    void openLogsSetsLineAndPolls();
    void failedOpensShowTheCodeAndHoldNothing();
    void noneClosesWhateverIsOpenCom1Included();
    void pollingAssemblesLines();
    void pressureAndZero();
    void hangUpIsSaidOnceAndRepickRecovers();
    void savedReadingsCarryThePressureShown();

private:
    std::unique_ptr<AppWorld> world;
    std::unique_ptr<testsupport::PtyPair> gauge;     // COM3, library port 2
    std::unique_ptr<testsupport::PtyPair> gaugeCom1; // COM1, library port 0
    std::unique_ptr<frmMain> w;
    QStringList messages;
    QStringList entries() const
    {
        QStringList l;
        for (int i = 0; i < w->ctl.cboStepperPort->count(); ++i)
            l << w->ctl.cboStepperPort->itemText(i);
        return l;
    }
};

void TestSecondaryLink::init()
{
    world = std::make_unique<AppWorld>();
    gauge = std::make_unique<testsupport::PtyPair>();
    gaugeCom1 = std::make_unique<testsupport::PtyPair>();
    world->comDir.map(3, gauge->slavePath());
    world->comDir.map(1, gaugeCom1->slavePath());
    w = std::make_unique<frmMain>();
    messages.clear();
    w->secondary->showMessage = [this](const QString &text) { messages << text; };
    QVERIFY(w->Form_Load());
}

void TestSecondaryLink::cleanup()
{
    for (auto *d : {gauge.get(), gaugeCom1.get()})
        if (d && d->isValid())
            QCOMPARE(d->readSent(), QByteArray()); // nothing is ever sent to the device
    w.reset();
    gauge.reset();
    gaugeCom1.reset();
    world.reset();
}

void TestSecondaryLink::scanListsFreePortsOnly()
{
    QCOMPARE(entries(), QStringList({"none", "1", "3"}));
    // A port the primary link holds is not listed; the previously open secondary port is
    // closed first and listed again.
    QVERIFY(pick(w->ctl.cboPort, QStringLiteral(" 1")));
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("3")));
    QCOMPARE(w->secondary->openPort(), 2);
    w->ctl.Command3->click();
    QCOMPARE(entries(), QStringList({"none", "3"}));
    QCOMPARE(w->secondary->openPort(), -1);
    QCOMPARE(w->ctl.cboStepperPort->currentText(), QStringLiteral("none"));
    QCOMPARE(w->ctl.txtIncoming->toPlainText(),
             QStringLiteral("Scanning available Secondary COM hardware...\n"
                            "Secondary COM scan complete\n 1 port(s) found"));
    // And the primary scan sees a port the secondary holds as already open.
    QVERIFY(pick(w->ctl.cboPort, QStringLiteral("none")));
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("3")));
    w->ctl.Command2->click();
    QVERIFY(w->ctl.txtIncoming->toPlainText().contains(QStringLiteral("\nCOM 3 already open\n")));
}

void TestSecondaryLink::openLogsSetsLineAndPolls()
{
    w->ctl.txtIncoming->setPlainText(QStringLiteral("x"));
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("3")));
    QCOMPARE(w->secondary->SecondaryPort, qint16(2));
    QVERIFY(w->secondary->SecondaryOpen);
    QVERIFY(w->ctl.Timer2->isActive());
    const QString log = w->ctl.txtIncoming->toPlainText();
    QVERIFY2(log.startsWith(QStringLiteral("x\nCOM3 set\nStatus")), qPrintable(log));
    QVERIFY(log.endsWith(QLatin1Char('\n')));
    termios t{};
    QCOMPARE(tcgetattr(gauge->masterFd(), &t), 0);
    QCOMPARE(cfgetispeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QVERIFY(!(t.c_cflag & PARENB));
    QVERIFY(!(t.c_cflag & CSTOPB));
    QVERIFY(messages.isEmpty());

    // The same pick again closes and reopens, and logs again.
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("3")));
    QCOMPARE(w->ctl.txtIncoming->toPlainText().count(QStringLiteral("COM3 set")), 2);
    QCOMPARE(w->secondary->openPort(), 2);
}

void TestSecondaryLink::failedOpensShowTheCodeAndHoldNothing()
{
    // A port that maps to nothing.
    w->ctl.cboStepperPort->addItem(QStringLiteral("9"));
    const QString before = w->ctl.txtIncoming->toPlainText();
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("9")));
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].startsWith(QStringLiteral("Reset Error-")), qPrintable(messages[0]));
    QCOMPARE(w->secondary->SecondaryPort, qint16(8));
    QCOMPARE(w->ctl.txtIncoming->toPlainText(), before);
    QVERIFY(!w->ctl.Timer2->isActive());

    // A port another program holds.
    int err = 0;
    const int holder = serial::openExclusive(gauge->slavePath(), &err);
    QVERIFY(holder >= 0);
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("3")));
    QCOMPARE(messages.size(), 2);
    QVERIFY(messages[1].startsWith(QStringLiteral("Reset Error-")));
    QCOMPARE(w->secondary->openPort(), -1);
    serial::closeExclusive(holder);
}

void TestSecondaryLink::noneClosesWhateverIsOpenCom1Included()
{
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("1")));
    QCOMPARE(w->secondary->openPort(), 0);
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("none")));
    QCOMPARE(w->secondary->openPort(), -1);
    QCOMPARE(w->secondary->SecondaryPort, qint16(0));
    // COM1 is really closed: the primary link can take it.
    QVERIFY(pick(w->ctl.cboPort, QStringLiteral(" 1")));
    QVERIFY(w->MSComm1->PortOpen());
    QTest::qWait(300);
    QVERIFY(!w->ctl.Timer2->isActive()); // nothing open, nothing polled
    // Picking another port closes COM1 too.
    QVERIFY(pick(w->ctl.cboPort, QStringLiteral("none")));
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("1")));
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("3")));
    QCOMPARE(w->secondary->openPort(), 2);
    QVERIFY(pick(w->ctl.cboPort, QStringLiteral(" 1")));
    QVERIFY(w->MSComm1->PortOpen());
}

void TestSecondaryLink::pollingAssemblesLines()
{
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("3")));
    QLineEdit *stream = w->ctl.txtStream2;
    gauge->write("P:1,psi\r\nP:2,psi\r\n");
    QTRY_COMPARE(stream->text(), QStringLiteral("P:2,psi\r\n"));
    QCOMPARE(w->ctl.txtPressure->text(), QStringLiteral("2"));
    gauge->write("P:3");
    QTest::qWait(300);
    QCOMPARE(stream->text(), QStringLiteral("P:2,psi\r\n"));
    gauge->write(".5\rx\ny,psi\r\n");
    QTRY_COMPARE(stream->text(), QStringLiteral("P:3.5\rx\ny,psi\r\n"));
    gauge->write(QByteArray("Q:\0,\xB0\r\n", 7));
    QTRY_COMPARE(stream->text(),
                 QString(QStringLiteral("Q:") + QChar(0) + QStringLiteral(",\u00B0\r\n")));
    // Leftover text is completed by the first bytes of a new port.
    gauge->write("P:4");
    QTest::qWait(300);
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("1")));
    gaugeCom1->write("2,psi\r\n");
    QTRY_COMPARE(stream->text(), QStringLiteral("P:42,psi\r\n"));
    QCOMPARE(w->ctl.txtPressure->text(), QStringLiteral("42"));
}

void TestSecondaryLink::pressureAndZero()
{
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("3")));
    QLineEdit *pressure = w->ctl.txtPressure;
    QLineEdit *zero = w->ctl.txtZero;
    // cmdZero before any line empties the zero, which then reads as 0.
    w->ctl.cmdZero->click();
    QCOMPARE(zero->text(), QString());
    gauge->write("P:12.5,psi\r\n");
    QTRY_COMPARE(pressure->text(), QStringLiteral("12.5"));
    QCOMPARE(w->secondary->RawPressure, QStringLiteral("12.5"));
    w->ctl.cmdZero->click();
    QCOMPARE(zero->text(), QStringLiteral("12.5"));
    QCOMPARE(pressure->text(), QStringLiteral("12.5")); // until the next line
    gauge->write("P:12.5,psi\r\n");
    QTRY_COMPARE(pressure->text(), QStringLiteral("0"));
    gauge->write("nolabel 99\r\n");
    QTRY_COMPARE(w->ctl.txtStream2->text(), QStringLiteral("nolabel 99\r\n"));
    QCOMPARE(pressure->text(), QStringLiteral("0"));
    gauge->write("P:15.75\r\n"); // no ",": the raw value keeps its CR LF
    QTRY_COMPARE(pressure->text(), QStringLiteral("3.25"));
    QCOMPARE(w->secondary->RawPressure, QStringLiteral("15.75\r\n"));
    zero->setText(QStringLiteral("0"));
    gauge->write("P:1 2.5,99\r\n");
    QTRY_COMPARE(pressure->text(), QStringLiteral("12.5"));
    gauge->write("P:1E308,psi\r\n");
    QTRY_COMPARE(w->ctl.txtStream2->text(), QStringLiteral("P:1E308,psi\r\n"));
    zero->setText(QStringLiteral("-1E308"));
    gauge->write("P:1E308,psi\r\n"); // the difference overflows: the old text stays
    QTRY_COMPARE(w->secondary->RawPressure, QStringLiteral("1E308"));
    QTest::qWait(300);
    QCOMPARE(pressure->text(), QStringLiteral("1E+308"));
}

void TestSecondaryLink::hangUpIsSaidOnceAndRepickRecovers()
{
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("3")));
    gauge->write("P:1,psi\r\n");
    QTRY_COMPARE(w->ctl.txtPressure->text(), QStringLiteral("1"));
    gauge->hangUp();
    world->comDir.unmap(3); // the device node is gone while it is away
    QTRY_COMPARE(w->secondary->openPort(), -1);
    QTest::qWait(500);
    QCOMPARE(w->ctl.txtIncoming->toPlainText().count(QStringLiteral("went away")), 1);
    QVERIFY(!w->ctl.Timer2->isActive());

    gauge = std::make_unique<testsupport::PtyPair>();
    world->comDir.map(3, gauge->slavePath());
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("3")));
    gauge->write("P:2,psi\r\n");
    QTRY_COMPARE(w->ctl.txtPressure->text(), QStringLiteral("2"));
}

void TestSecondaryLink::savedReadingsCarryThePressureShown()
{
    world->makeDataFolder();
    testsupport::PtyPair instrument;
    world->comDir.map(12, instrument.slavePath());
    w->ctl.Command2->click();
    QVERIFY(pick(w->ctl.cboPort, QStringLiteral(" 12")));
    QVERIFY(pick(w->ctl.cboStepperPort, QStringLiteral("3")));
    w->ctl.optSave[1]->click();
    gauge->write("P:14.7,psi\r\n");
    QTRY_COMPARE(w->ctl.txtPressure->text(), QStringLiteral("14.7"));
    instrument.write("R:0,S100,TC4,1,21.5,C\r\n");
    QTRY_COMPARE(w->ctl.sbStatusBar->panelText(3), QStringLiteral("1"));
    w->ctl.txtPressure->clear();
    instrument.write("R:0,S100,TC4,1,21.6,C\r\n");
    QTRY_COMPARE(w->ctl.sbStatusBar->panelText(3), QStringLiteral("2"));
    QFile f(world->dataFolder() + QStringLiteral("/S100.txt"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    QVERIFY(lines[0].endsWith(",S100,TC4,1,21.5,C,14.7,psi\r"));
    QVERIFY(lines[1].endsWith(",S100,TC4,1,21.6,C,,psi\r"));
    QCOMPARE(instrument.readSent(), QByteArray());
}

QTEST_MAIN(TestSecondaryLink)
#include "tst_secondarylink.moc"
