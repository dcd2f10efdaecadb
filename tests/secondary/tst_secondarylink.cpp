// The secondary link on its own, without a window, through real pseudo-terminals: scan, open,
// polling, pressure and zero, the wait for a gauge that is away; and beside the primary link, which
// holds ports of its own.
#include "primary/PrimaryLink.h"
#include "secondary/SecondaryLink.h"
#include "serial/TtyDevice.h"
#include "tests/support/LinkViews.h"
#include "tests/support/PtyPair.h"

#include <QSignalSpy>
#include <QtTest>
#include <functional>
#include <termios.h>

using testsupport::PrimaryView;
using testsupport::SecondaryView;

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
    void aCommaLocaleShowsItsFormAndRecordsADot();
    void notComputablePressureEmptiesAndIsSaidOncePerRun();
    void hangUpEmptiesThePressureAndTheGaugeReturnsByItself();
    void unattendedPickLogsFailuresAndWaitsForAnAbsentPort();

private:
    std::unique_ptr<testsupport::ComDir> comDir;
    std::unique_ptr<testsupport::PtyPair> gauge;     // COM3, library port 2
    std::unique_ptr<testsupport::PtyPair> gaugeCom1; // COM1, library port 0
    std::unique_ptr<PrimaryLink> primary;
    std::unique_ptr<PrimaryView> primaryView;
    std::unique_ptr<SecondaryLink> link;
    std::unique_ptr<SecondaryView> view;

    bool pick(const QString &entry)
    {
        if (!view->ports.contains(entry)) return false;
        entry == "none" ? link->close() : link->open(entry.toInt());
        return true;
    }
    bool pickPrimary(const QString &entry)
    {
        if (!primaryView->ports.contains(entry)) return false;
        entry == "none" ? primary->close() : primary->open(entry.toInt());
        return true;
    }
};

const QDateTime kNow = QDateTime(QDate(2026, 3, 14), QTime(15, 45, 12));

void TestSecondaryLink::init()
{
    comDir = std::make_unique<testsupport::ComDir>();
    gauge = std::make_unique<testsupport::PtyPair>();
    gaugeCom1 = std::make_unique<testsupport::PtyPair>();
    comDir->map(3, gauge->slavePath());
    comDir->map(1, gaugeCom1->slavePath());
    primary = std::make_unique<PrimaryLink>();
    primaryView = std::make_unique<PrimaryView>(*primary);
    link = std::make_unique<SecondaryLink>();
    link->setClock([] { return kNow; });
    view = std::make_unique<SecondaryView>(*link);
    primary->scan();
    link->scan();
}

void TestSecondaryLink::cleanup()
{
    for (auto *d : {gauge.get(), gaugeCom1.get()})
        if (d && d->isValid())
            QCOMPARE(d->readSent(), QByteArray()); // nothing is ever sent to the device
    view.reset();
    link.reset();
    primaryView.reset();
    primary.reset();
    gauge.reset();
    gaugeCom1.reset();
    comDir.reset();
}

void TestSecondaryLink::scanListsFreePortsOnly()
{
    QCOMPARE(view->ports, QStringList({"none", "1", "3"}));
    QCOMPARE(view->log.text(), QStringLiteral("\nSecondary COM scan complete\n 2 port(s) found"));
    // A port the primary link holds is not listed; the previously open secondary port is
    // closed first and listed again.
    QVERIFY(pickPrimary(QStringLiteral("1")));
    QVERIFY(pick(QStringLiteral("3")));
    QCOMPARE(link->openPort(), 2);
    link->rescan();
    QCOMPARE(view->ports, QStringList({"none", "3"}));
    QCOMPARE(link->openPort(), -1);
    QCOMPARE(view->log.text(), QStringLiteral("Scanning available Secondary COM hardware...\n"
                                              "Secondary COM scan complete\n 1 port(s) found"));
    // And the primary scan sees a port the secondary holds as already open.
    QVERIFY(pickPrimary(QStringLiteral("none")));
    QVERIFY(pick(QStringLiteral("3")));
    primary->rescan();
    QVERIFY(primaryView->log.text().contains(QStringLiteral("\nCOM 3 already open\n")));
}

void TestSecondaryLink::openLogsSetsLineAndPolls()
{
    view->log.replace(QStringLiteral("x"));
    QVERIFY(pick(QStringLiteral("3")));
    QCOMPARE(link->port(), 3);
    QVERIFY(link->polling());
    const QString log = view->log.text();
    QVERIFY2(log.startsWith(QStringLiteral("x\nCOM3 set\nStatus")), qPrintable(log));
    QVERIFY(log.endsWith(QLatin1Char('\n')));
    termios t{};
    QCOMPARE(tcgetattr(gauge->masterFd(), &t), 0);
    QCOMPARE(cfgetispeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QVERIFY(!(t.c_cflag & PARENB));
    QVERIFY(!(t.c_cflag & CSTOPB));
    QVERIFY(view->messages.isEmpty());

    // The same pick again closes and reopens, and logs again.
    QVERIFY(pick(QStringLiteral("3")));
    QCOMPARE(view->log.text().count(QStringLiteral("COM3 set")), 2);
    QCOMPARE(link->openPort(), 2);
}

void TestSecondaryLink::failedOpensShowTheCodeAndHoldNothing()
{
    // A port that maps to nothing: the box is shown, and the link goes on only after it.
    const QString before = view->log.text();
    link->open(9);
    QCOMPARE(view->messages.size(), 1);
    QVERIFY2(view->messages[0].startsWith(QStringLiteral("Reset Error-")),
             qPrintable(view->messages[0]));
    QCOMPARE(link->port(), 9);
    QCOMPARE(view->log.text(), before);
    QVERIFY(!link->polling());

    // A port another program holds.
    int err = 0;
    serial::ExclusivePort holder = serial::openExclusive(gauge->slavePath(), &err);
    QVERIFY(holder.isOpen());
    QVERIFY(pick(QStringLiteral("3")));
    QCOMPARE(view->messages.size(), 2);
    QVERIFY(view->messages[1].startsWith(QStringLiteral("Reset Error-")));
    QCOMPARE(link->openPort(), -1);
    holder.close();
}

void TestSecondaryLink::noneClosesWhateverIsOpenCom1Included()
{
    QVERIFY(pick(QStringLiteral("1")));
    QCOMPARE(link->openPort(), 0);
    QVERIFY(pick(QStringLiteral("none")));
    QCOMPARE(link->openPort(), -1);
    QCOMPARE(link->port(), 1);
    QVERIFY(!link->polling()); // nothing open, nothing polled
    // COM1 is really closed: the primary link can take it.
    QVERIFY(pickPrimary(QStringLiteral("1")));
    QVERIFY(primary->isOpen());
    // Picking another port closes COM1 too.
    QVERIFY(pickPrimary(QStringLiteral("none")));
    QVERIFY(pick(QStringLiteral("1")));
    QVERIFY(pick(QStringLiteral("3")));
    QCOMPARE(link->openPort(), 2);
    QVERIFY(pickPrimary(QStringLiteral("1")));
    QVERIFY(primary->isOpen());
}

void TestSecondaryLink::pollingAssemblesLines()
{
    QVERIFY(pick(QStringLiteral("3")));
    gauge->write("P:1,psi\r\nP:2,psi\r\n");
    QTRY_COMPARE(view->stream, QStringLiteral("P:2,psi\r\n"));
    QCOMPARE(view->pressure, QStringLiteral("2"));
    QCOMPARE(link->pressureText(), QStringLiteral("2"));
    gauge->write("P:3");
    QTRY_COMPARE(link->pendingLineSize(), 3);
    QCOMPARE(view->stream, QStringLiteral("P:2,psi\r\n"));
    gauge->write(".5\rx\ny,psi\r\n");
    QTRY_COMPARE(view->stream, QStringLiteral("P:3.5\rx\ny,psi\r\n"));
    gauge->write(QByteArray("Q:\0,\xB0\r\n", 7));
    QTRY_COMPARE(view->stream,
                 QString(QStringLiteral("Q:") + QChar(0) + QStringLiteral(",\u00B0\r\n")));
    // Leftover text is completed by the first bytes of a new port.
    gauge->write("P:4");
    QTRY_COMPARE(link->pendingLineSize(), 3);
    QVERIFY(pick(QStringLiteral("1")));
    gaugeCom1->write("2,psi\r\n");
    QTRY_COMPARE(view->stream, QStringLiteral("P:42,psi\r\n"));
    QCOMPARE(view->pressure, QStringLiteral("42"));
}

void TestSecondaryLink::pressureAndZero()
{
    QVERIFY(pick(QStringLiteral("3")));
    // cmdZero before any line empties the zero, which then reads as 0.
    link->setZeroToCurrent();
    QCOMPARE(view->zero, QString());
    QCOMPARE(link->zeroText(), QString());
    gauge->write("P:12.5,psi\r\n");
    QTRY_COMPARE(view->pressure, QStringLiteral("12.5"));
    QCOMPARE(link->rawPressure(), QStringLiteral("12.5"));
    // The typed pressure, stamped by the link's clock.
    QCOMPARE(view->measured, (QList<secondary::Pressure>{{kNow, 12.5, "12.5", "12.5"}}));
    link->setZeroToCurrent();
    QCOMPARE(view->zero, QStringLiteral("12.5"));
    QCOMPARE(view->pressure, QStringLiteral("12.5")); // until the next line
    gauge->write("P:12.5,psi\r\n");
    QTRY_COMPARE(view->pressure, QStringLiteral("0"));
    QCOMPARE(view->measured.size(), 2); // every line that carries a pressure
    QCOMPARE(view->measured.last().value, 0.0);
    gauge->write("nolabel 99\r\n");
    QTRY_COMPARE(view->stream, QStringLiteral("nolabel 99\r\n"));
    QCOMPARE(view->pressure, QStringLiteral("0"));
    gauge->write("P:15.75\r\n"); // no ",": the raw value keeps its CR LF
    QTRY_COMPARE(view->pressure, QStringLiteral("3.25"));
    QCOMPARE(link->rawPressure(), QStringLiteral("15.75\r\n"));
    // A zero the operator types counts from the next line.
    link->setZero(QStringLiteral("0"));
    QCOMPARE(view->zero, QStringLiteral("12.5")); // typing is not announced back
    gauge->write("P:1 2.5,99\r\n");
    QTRY_COMPARE(view->pressure, QStringLiteral("12.5"));
}

void TestSecondaryLink::aCommaLocaleShowsItsFormAndRecordsADot()
{
    link->setLocale(QLocale(QLocale::German, QLocale::Germany));
    QVERIFY(pick(QStringLiteral("3")));
    gauge->write("P:12.5,psi\r\n");
    QTRY_COMPARE(view->pressure, QStringLiteral("12,5"));
    QCOMPARE(link->recordPressure(), QStringLiteral("12.5")); // one field in every record
    // The zero typed as the box shows it means what the operator sees; the dot form works too.
    for (const QString &zero : {QStringLiteral("12,5"), QStringLiteral("12.5")}) {
        link->setZero(QStringLiteral("1"));
        gauge->write("P:12.5,psi\r\n");
        QTRY_COMPARE(view->pressure, QStringLiteral("11,5"));
        link->setZero(zero);
        gauge->write("P:12.5,psi\r\n");
        QTRY_COMPARE(view->pressure, QStringLiteral("0"));
        QCOMPARE(link->recordPressure(), QStringLiteral("0"));
    }
}

void TestSecondaryLink::notComputablePressureEmptiesAndIsSaidOncePerRun()
{
    QVERIFY(pick(QStringLiteral("3")));
    const auto said = [this] {
        return view->log.text().count(QStringLiteral("cannot be computed"));
    };
    gauge->write("P:5,psi\r\n");
    QTRY_COMPARE(view->pressure, QStringLiteral("5"));
    // Out of range, and a 400-digit number: the pressure empties, and the log says so once
    // for the whole run of such lines.
    gauge->write("P:1e309,psi\r\nP:" + QByteArray(400, '9') + ",psi\r\n");
    QTRY_COMPARE(link->rawPressure(), QString(400, u'9'));
    QCOMPARE(view->pressure, QString());
    QCOMPARE(link->pressureText(), QString());
    QCOMPARE(said(), 1);
    QCOMPARE(view->measured.size(), 3);
    QCOMPARE(view->measured.last(),
             (secondary::Pressure{kNow, std::nullopt, QString(400, u'9'), ""}));
    // A line with nothing after its label keeps the pressure as it is; so does a line
    // without a label.
    gauge->write("P:7,psi\r\n");
    QTRY_COMPARE(view->pressure, QStringLiteral("7"));
    QString empty = QStringLiteral("P:");
    link->SmallStream(empty);
    QCOMPARE(view->pressure, QStringLiteral("7"));
    // A difference that overflows starts a new run, which is said again.
    link->setZero(QStringLiteral("1e308"));
    gauge->write("P:-1e308,psi\r\n");
    QTRY_COMPARE(view->pressure, QString());
    QCOMPARE(said(), 2);
    QCOMPARE(view->zero, QString()); // the zero is the operator's: it stays
    QCOMPARE(link->zeroText(), QStringLiteral("1e308"));
    // A first field without any number is no pressure of 0: the box and the record's pressure
    // empty, and the run of such lines is said once.
    link->setZero(QStringLiteral("0"));
    gauge->write("P:3,psi\r\n");
    QTRY_COMPARE(view->pressure, QStringLiteral("3"));
    gauge->write("P:abc,psi\r\nP:\r\nP:nan\r\n");
    QTRY_COMPARE(link->rawPressure(), QStringLiteral("nan\r\n"));
    QCOMPARE(view->pressure, QString());
    QCOMPARE(link->recordPressure(), QString());
    QCOMPARE(said(), 3);
}

void TestSecondaryLink::hangUpEmptiesThePressureAndTheGaugeReturnsByItself()
{
    link->setRetryInterval(20);
    QSignalSpy tries(&link->retryTimer(), &QTimer::timeout);
    QVERIFY(pick(QStringLiteral("3")));
    for (int visit = 0; visit < 2; ++visit) {
        gauge->write("P:1" + QByteArray::number(visit) + ",psi\r\n");
        QTRY_COMPARE(view->pressure, QStringLiteral("1%1").arg(visit));
        comDir->unmap(3); // the device node is gone while it is away
        gauge->hangUp();
        QTRY_COMPARE(link->openPort(), -1);
        // The last pressure is no longer true: it empties at once.
        QCOMPARE(view->pressure, QString());
        QCOMPARE(view->measured.last().value, std::nullopt);
        QCOMPARE(link->pressureText(), QString());
        QVERIFY(!link->polling());
        QVERIFY(link->retrying());
        QCOMPARE(view->log.text().count(QStringLiteral("went away")), visit + 1);

        // Away: the port is tried again and again, quietly.
        const QString log = view->log.text();
        tries.clear();
        QTRY_VERIFY(tries.count() >= 3);
        QCOMPARE(view->log.text(), log);
        QCOMPARE(link->openPort(), -1);

        // Back under the same COM number: the link opens it by itself and says so.
        gauge = std::make_unique<testsupport::PtyPair>();
        comDir->map(3, gauge->slavePath());
        QTRY_COMPARE(link->openPort(), 2);
        QVERIFY(!link->retrying());
        QVERIFY(view->log.text()
                    .mid(log.size())
                    .startsWith(
                        QStringLiteral("COM3: the pressure device is back\n\nCOM3 set\nStatus")));
        QVERIFY(view->messages.isEmpty());
    }
    gauge->write("P:2,psi\r\n");
    QTRY_COMPARE(view->pressure, QStringLiteral("2"));

    // The operator's pick of "none" or of another port, and a rescan, end the wait.
    const std::function<void()> ends[] = {[this] { link->close(); }, [this] { link->open(1); },
                                          [this] { link->rescan(); }};
    for (const auto &end : ends) {
        QVERIFY(pick(QStringLiteral("3")));
        comDir->unmap(3);
        gauge->hangUp();
        QTRY_VERIFY(link->retrying());
        end();
        QVERIFY(!link->retrying());
        gauge = std::make_unique<testsupport::PtyPair>();
        comDir->map(3, gauge->slavePath());
        QVERIFY(link->openPort() != 2);
    }
}

void TestSecondaryLink::unattendedPickLogsFailuresAndWaitsForAnAbsentPort()
{
    link->setRetryInterval(20);
    QSignalSpy tries(&link->retryTimer(), &QTimer::timeout);
    // A port that is not there: no box, the code in the log, and a wait for it.
    view->log.replace(QString());
    QVERIFY(!link->openUnattended(9));
    QVERIFY(view->messages.isEmpty());
    QCOMPARE(view->log.text(), QStringLiteral("COM9: Reset Error-1\nCOM9 is not there yet; it "
                                              "is tried again every 0.02 s until it appears\n"));
    QVERIFY(link->retrying());
    QTRY_VERIFY(tries.count() >= 3);
    QCOMPARE(view->log.text().count(QStringLiteral("not there yet")), 1);

    // It appears: opened as a pick would open it.
    testsupport::PtyPair late;
    comDir->map(9, late.slavePath());
    QTRY_COMPARE(link->openPort(), 8);
    QVERIFY(!link->retrying());
    QVERIFY(view->log.text().contains(QStringLiteral("\nCOM9 is there now\n\nCOM9 set\nStatus")));
    late.write("P:4,psi\r\n");
    QTRY_COMPARE(view->pressure, QStringLiteral("4"));
    QCOMPARE(late.readSent(), QByteArray());

    // A port another program holds is there: logged, not waited for.
    int err = 0;
    serial::ExclusivePort holder = serial::openExclusive(gauge->slavePath(), &err);
    QVERIFY(holder.isOpen());
    view->log.replace(QString());
    QVERIFY(!link->openUnattended(3));
    holder.close();
    QCOMPARE(view->log.text(), QStringLiteral("COM3: Reset Error-2\n"));
    QVERIFY(!link->retrying());
    QCOMPARE(link->openPort(), -1); // the old port was closed, as a pick closes it
    QVERIFY(view->messages.isEmpty());

    // A free port opens at once.
    QVERIFY(link->openUnattended(3));
    QCOMPARE(link->openPort(), 2);
}

QTEST_GUILESS_MAIN(TestSecondaryLink)
#include "tst_secondarylink.moc"
