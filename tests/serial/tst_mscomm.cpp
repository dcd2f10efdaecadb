// The primary serial port control, driven through pseudo-terminals published as COM numbers.
// Throughout, the control must never send a byte to the device.
#include "serial/MSComm.h"
#include "serial/PortProbe.h"
#include "serial/TtyDevice.h"
#include "tests/support/PtyPair.h"

#include <QFile>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTest>

#include <memory>

using namespace serial;
using testsupport::ComDir;
using testsupport::PtyPair;

namespace {

// Collects what the control delivers, the way the window's receive handler takes it.
struct Receiver {
    explicit Receiver(MSComm &comm) : comm(comm)
    {
        QObject::connect(&comm, &MSComm::OnComm, &comm, [this] {
            events.append(this->comm.CommEvent());
            if (this->comm.CommEvent() == MSComm::comEvReceive) text += this->comm.Input();
        });
    }
    MSComm &comm;
    QList<qint16> events;
    QString text;
};

} // namespace

class TstMSComm : public QObject {
    Q_OBJECT
private slots:
    void openCloseAndRefusals()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        ComDir comDir;
        comDir.map(12, pty.slavePath());

        MSComm comm;
        QCOMPARE(comm.CommPort(), qint16(11));
        QCOMPARE(comm.Settings(), QStringLiteral("9600,n,8,1"));
        QVERIFY(!comm.PortOpen());

        QString error;
        int code = 0;
        // COM 11 is not mapped in this namespace.
        QVERIFY(!comm.setPortOpen(true, &error, &code));
        QVERIFY2(error.contains(QStringLiteral("COM 11 maps to no device")), qPrintable(error));
        QVERIFY(!comm.PortOpen());

        QVERIFY(!comm.setCommPort(0, &error));
        QCOMPARE(comm.CommPort(), qint16(11));
        QVERIFY(comm.setCommPort(12));
        QVERIFY(comm.setPortOpen(true, &error));
        QVERIFY(comm.PortOpen());
        QCOMPARE(comm.devicePath(), pty.slavePath());
        QCOMPARE(probeCom(12), ProbeResult::Held);
        // Terminal programs see our UUCP lock file, named after the device, not the link.
        const QString lockFile = comDir.locks().lockFile(pty.slavePath());
        QVERIFY(QFile::exists(lockFile));

        // The number cannot change under an open port.
        QVERIFY(!comm.setCommPort(13, &error));
        QCOMPARE(comm.CommPort(), qint16(12));
        QVERIFY(comm.PortOpen());

        QVERIFY(comm.setPortOpen(false));
        QVERIFY(!comm.PortOpen());
        QVERIFY(comm.setPortOpen(false)); // closing a closed port is harmless
        QCOMPARE(probeCom(12), ProbeResult::Free);
        QVERIFY(!QFile::exists(lockFile));

        // Closing and opening again gives the same port with the same settings.
        QVERIFY(comm.setPortOpen(true));
        QVERIFY(comm.PortOpen());
        QCOMPARE(comm.CommPort(), qint16(12));
        QVERIFY(comm.setPortOpen(false));

        // Another holder: the open is refused, as root too, and the holder keeps the port.
        int holderError = 0;
        ExclusivePort holder = openExclusive(pty.slavePath(), &holderError);
        QVERIFY(holder.isOpen());
        QVERIFY(!comm.setPortOpen(true, &error, &code));
        QCOMPARE(error, QStringLiteral("COM 12 is held by another program"));
        QCOMPARE(code, EBUSY);
        QVERIFY(!comm.PortOpen());
        holder.close();
        {
            // So is a program that just has the port open, without any lock.
            testsupport::OtherProcess plain(pty.slavePath());
            QVERIFY(plain.isValid());
            QVERIFY(!comm.setPortOpen(true, &error, &code));
            QCOMPARE(error, QStringLiteral("COM 12 is held by another program"));
            QVERIFY(!QFile::exists(lockFile));
        }

        // A second control cannot take a port the first one holds.
        QVERIFY(comm.setPortOpen(true));
        MSComm second;
        QVERIFY(second.setCommPort(12));
        QVERIFY(!second.setPortOpen(true, &error));
        QVERIFY(!second.PortOpen());
        QVERIFY(comm.PortOpen());

        // A control that goes while its port is open lets go of it, lock file included.
        QVERIFY(comm.setPortOpen(false));
        {
            MSComm goes;
            QVERIFY(goes.setCommPort(12));
            QVERIFY(goes.setPortOpen(true));
            QVERIFY(QFile::exists(lockFile));
        }
        QVERIFY(!QFile::exists(lockFile));
        QCOMPARE(probeCom(12), ProbeResult::Free);

        QVERIFY(pty.readSent().isEmpty());
    }

    // Received bytes raise OnComm with CommEvent 2; Input hands each byte over once, as
    // Windows-1252 text.
    void receive()
    {
        PtyPair pty;
        ComDir comDir;
        comDir.map(3, pty.slavePath());
        MSComm comm;
        QVERIFY(comm.setCommPort(3));
        QVERIFY(comm.setPortOpen(true));
        Receiver rx(comm);

        const QByteArray sent = QByteArray("S100:TC4,4,1.5\r\n") + "\x80\xe9\xff\x81" + "\r\n";
        QVERIFY(pty.write(sent));
        const QString expected = QStringLiteral("S100:TC4,4,1.5\r\n") + QChar(0x20AC) +
                                 QChar(0xE9) + QChar(0xFF) + QChar(0x81) + "\r\n";
        QTRY_COMPARE(rx.text, expected);
        QVERIFY(!rx.events.isEmpty());
        for (qint16 event : rx.events)
            QCOMPARE(event, qint16(MSComm::comEvReceive));
        QVERIFY(comm.Input().isEmpty());
        QVERIFY(comm.InputBytes().isEmpty());

        // A large burst arrives whole and in order, whatever the number of events.
        rx.text.clear();
        QByteArray burst;
        for (int i = 0; i < 20000; ++i)
            burst += QByteArray::number(i) + "\r\n";
        QVERIFY(pty.write(burst));
        QTRY_COMPARE(rx.text.size(), burst.size());
        QCOMPARE(rx.text.toLatin1(), burst);

        QVERIFY(pty.readSent().isEmpty());
    }

    // The window's error handling closes and reopens the port from inside OnComm; the
    // control must cope and keep delivering.
    void reopenFromHandler()
    {
        PtyPair pty;
        ComDir comDir;
        comDir.map(5, pty.slavePath());
        MSComm comm;
        QVERIFY(comm.setCommPort(5));
        QVERIFY(comm.setPortOpen(true));
        QString text;
        int resets = 0;
        connect(&comm, &MSComm::OnComm, &comm, [&] {
            text += comm.Input();
            comm.setPortOpen(false);
            comm.setHandshaking(0);
            if (comm.setPortOpen(true)) ++resets;
        });
        QVERIFY(pty.write("first\r\n"));
        QTRY_COMPARE(text, QStringLiteral("first\r\n"));
        QVERIFY(pty.write("second\r\n"));
        QTRY_COMPARE(text, QStringLiteral("first\r\nsecond\r\n"));
        QVERIFY(resets >= 2);
        QVERIFY(comm.PortOpen());
        QVERIFY(pty.readSent().isEmpty());
    }

    // The device goes away: data sent before is still delivered, the port closes once and
    // the hang-up is reported once; after that nothing more happens until it is reopened.
    // When the device returns under the same COM number, opening works again.
    void hangUpAndReturn()
    {
        ComDir comDir;
        auto pty = std::make_unique<PtyPair>();
        comDir.map(7, pty->slavePath());
        MSComm comm;
        QVERIFY(comm.setCommPort(7));
        QVERIFY(comm.setPortOpen(true));
        Receiver rx(comm);
        QSignalSpy hangUps(&comm, &MSComm::hungUp);

        QVERIFY(pty->write("partial"));
        QTRY_COMPARE(rx.text, QStringLiteral("partial"));
        QVERIFY(pty->readSent().isEmpty());
        const QString lockFile = comDir.locks().lockFile(pty->slavePath());
        QVERIFY(QFile::exists(lockFile));
        pty->hangUp();

        QTRY_COMPARE(hangUps.count(), 1);
        QVERIFY(!comm.PortOpen());
        QVERIFY(!QFile::exists(lockFile));
        QVERIFY(hangUps.at(0).at(0).toString().contains(QStringLiteral("COM 7")));
        // Nothing is left watching the dead descriptor.
        for (const QSocketNotifier *n : comm.findChildren<QSocketNotifier *>())
            QVERIFY(!n->isEnabled());
        const qsizetype eventsAtHangUp = rx.events.size();
        // Let the event loop run: a port that keeps signalling would show up here.
        QTest::qWait(300);
        QCOMPARE(hangUps.count(), 1);
        QCOMPARE(rx.events.size(), eventsAtHangUp);

        // Still gone (its node vanished): a reopen fails and leaves the port closed.
        comDir.map(7, comDir.path() + "/unplugged");
        QString error;
        QVERIFY(!comm.setPortOpen(true, &error));
        QVERIFY(!comm.PortOpen());

        // The device comes back (a new node) under the same number.
        pty = std::make_unique<PtyPair>();
        comDir.map(7, pty->slavePath());
        QVERIFY2(comm.setPortOpen(true, &error), qPrintable(error));
        QCOMPARE(comm.devicePath(), pty->slavePath());
        QVERIFY(pty->write(" line\r\n"));
        QTRY_COMPARE(rx.text, QStringLiteral("partial line\r\n"));
        QCOMPARE(hangUps.count(), 1);
        QVERIFY(pty->readSent().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstMSComm)
#include "tst_mscomm.moc"
