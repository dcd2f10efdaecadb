// The Sio* library over real pseudo-terminals published as COM numbers.
#include "serial/TtyDevice.h"
#include "serial/Wsc32.h"
#include "tests/support/PtyPair.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using namespace wsc;
using testsupport::ComDir;
using testsupport::PtyPair;

namespace {

// Collects up to `want` bytes from the port, giving the device up to 10 s to deliver them
// (a limit for a broken build, not a timing requirement).
QByteArray drain(int port, int want)
{
    QByteArray got;
    QDeadlineTimer deadline(10000);
    while (got.size() < want && !deadline.hasExpired()) {
        const int c = SioGetc(port);
        if (c >= 0)
            got.append(char(c));
        else if (c == SIO_NO_DATA)
            ::usleep(500);
        else
            break;
    }
    return got;
}

// The first code other than SIO_NO_DATA (or SIO_NO_DATA when none came within 10 s).
int nextEvent(int port)
{
    QDeadlineTimer deadline(10000);
    for (;;) {
        const int c = SioGetc(port);
        if (c != SIO_NO_DATA || deadline.hasExpired()) return c;
        ::usleep(500);
    }
}

termios slaveTermios(const PtyPair &pty)
{
    termios tio{};
    ::tcgetattr(pty.masterFd(), &tio); // a pty master reports its slave's settings
    return tio;
}

// Opens the port as the pressure link does: reset, speed, character format.
bool openLikeTheLink(int port, int queue = 1024)
{
    return SioReset(port, queue, queue) == 0 && SioBaud(port, 9600) == 0 &&
           SioParms(port, 0, 0, 8) == 0;
}

QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

} // namespace

class TestWsc : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void openMapsLibraryPortToCom();
    void refusesBadArguments();
    void lineSettings_data();
    void lineSettings();
    void probeLeavesLineAlone();
    void unconfiguredLineReadsWithoutFalseHangUp();
    void heldPortsAreRefused_data();
    void heldPortsAreRefused();
    void openPortIsHeldAgainstOthers();
    void modemLinesOnPtyFailButDataFlows();
    void bytesInOrderThenNoData();
    void queueBoundsEachRead();
    void rxClearDropsPendingBytes();
    void hangUpReportedOnceThenReopen();
};

void TestWsc::cleanup()
{
    for (int port = 0; port < 256; ++port)
        SioDone(port);
}

void TestWsc::openMapsLibraryPortToCom()
{
    ComDir dir;
    PtyPair a, b;
    QVERIFY(a.isValid() && b.isValid());
    dir.map(3, a.slavePath());
    dir.map(256, b.slavePath());

    QCOMPARE(SioReset(2, 1024, 1024), 0); // port 2 is COM3
    QCOMPARE(QString::fromLocal8Bit(SioDevicePath(2)), canonical(a.slavePath()));
    QCOMPARE(SioReset(255, 512, 512), 0); // the last port, COM256
    QCOMPARE(QString::fromLocal8Bit(SioDevicePath(255)), canonical(b.slavePath()));

    QCOMPARE(SioReset(3, 512, 512), SIO_NO_PORT); // COM4: nothing mapped
    QCOMPARE(QString::fromLocal8Bit(SioDevicePath(3)), QString());

    // A second reset on an open port closes it and opens it afresh.
    QCOMPARE(SioReset(2, 1024, 1024), 0);

    QCOMPARE(SioDone(2), 0);
    QCOMPARE(SioDone(2), SIO_NOT_OPEN); // harmless
    QCOMPARE(SioGetc(2), SIO_NOT_OPEN);
    QCOMPARE(SioDone(0), SIO_NOT_OPEN);

    // The mapping is read afresh at every reset: COM3 now names the other pty.
    QCOMPARE(SioDone(255), 0);
    dir.map(3, b.slavePath());
    QCOMPARE(SioReset(2, 1024, 1024), 0);
    QCOMPARE(QString::fromLocal8Bit(SioDevicePath(2)), canonical(b.slavePath()));

    QVERIFY(a.readSent().isEmpty());
    QVERIFY(b.readSent().isEmpty());
}

void TestWsc::refusesBadArguments()
{
    ComDir dir;
    PtyPair pty;
    dir.map(1, pty.slavePath());

    QCOMPARE(SioReset(-1, 512, 512), SIO_BAD_ARGUMENT);
    QCOMPARE(SioReset(256, 512, 512), SIO_BAD_ARGUMENT);
    QCOMPARE(SioReset(0, 0, 512), SIO_BAD_ARGUMENT);
    QCOMPARE(SioReset(0, 1 << 30, 512), SIO_BAD_ARGUMENT);
    QCOMPARE(SioReset(0, 512, -1), SIO_BAD_ARGUMENT);
    QCOMPARE(SioGetc(0), SIO_NOT_OPEN); // nothing was left open
    QCOMPARE(SioBaud(0, 9600), SIO_NOT_OPEN);
    QCOMPARE(SioParms(0, 0, 0, 8), SIO_NOT_OPEN);
    QCOMPARE(SioStatus(0, 8), SIO_NOT_OPEN);

    QCOMPARE(SioReset(0, 512, 0), 0);
    QCOMPARE(SioDTR(0, 'X'), SIO_BAD_ARGUMENT);
    QCOMPARE(SioRTS(0, 0), SIO_BAD_ARGUMENT);
}

void TestWsc::lineSettings_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("speed"); // expected termios speed
    QTest::addColumn<int>("cflag"); // expected CSIZE | PARENB | PARODD | CMSPAR | CSTOPB bits
    QTest::newRow("9600 8N1") << 9600 << 0 << 0 << 8 << 0 << int(B9600) << int(CS8);
    QTest::newRow("two stop bits")
        << 4800 << 0 << int(SIO_TWO_STOP_BITS) << 8 << 0 << int(B4800) << int(CS8 | CSTOPB);
    // A pseudo-terminal always carries 8 data bits without parity: such settings are reported
    // as refused and the line keeps what it had.
    QTest::newRow("odd parity refused by pty") << 19200 << int(SIO_PARITY_ODD) << 0 << 7
                                               << int(SIO_BAD_SETTINGS) << int(B19200) << int(CS8);
    QTest::newRow("even parity refused by pty")
        << 9600 << int(SIO_PARITY_EVEN) << int(SIO_TWO_STOP_BITS) << 8 << int(SIO_BAD_SETTINGS)
        << int(B9600) << int(CS8);
    QTest::newRow("five data bits refused by pty")
        << 9600 << 0 << 0 << 5 << int(SIO_BAD_SETTINGS) << int(B9600) << int(CS8);
    QTest::newRow("bad parity kept 8N1")
        << 9600 << 9 << 0 << 8 << int(SIO_BAD_ARGUMENT) << int(B9600) << int(CS8);
    QTest::newRow("bad stop bits")
        << 9600 << 0 << 2 << 8 << int(SIO_BAD_ARGUMENT) << int(B9600) << int(CS8);
    QTest::newRow("nine data bits")
        << 9600 << 0 << 0 << 9 << int(SIO_BAD_ARGUMENT) << int(B9600) << int(CS8);
}

void TestWsc::lineSettings()
{
    QFETCH(int, baud);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(int, dataBits);
    QFETCH(int, code);
    QFETCH(int, speed);
    QFETCH(int, cflag);

    ComDir dir;
    PtyPair pty;
    dir.map(7, pty.slavePath());
    QCOMPARE(SioReset(6, 1024, 1024), 0);
    QCOMPARE(SioBaud(6, baud), 0);
    QCOMPARE(SioParms(6, parity, stopBits, dataBits), code);

    const termios tio = slaveTermios(pty);
    QCOMPARE(int(cfgetispeed(&tio)), speed);
    QCOMPARE(int(cfgetospeed(&tio)), speed);
    QCOMPARE(int(tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)), cflag);
    QVERIFY(tio.c_cflag & CLOCAL);
    QVERIFY(tio.c_cflag & CREAD);
    QVERIFY(!(tio.c_cflag & CRTSCTS));
    QVERIFY(!(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP)));
    QVERIFY(!(tio.c_lflag & (ICANON | ECHO | ISIG)));
    QVERIFY(!(tio.c_oflag & OPOST));

    // An unsupported speed is refused and the line keeps its speed.
    QCOMPARE(SioBaud(6, 12345), SIO_BAD_ARGUMENT);
    const termios after = slaveTermios(pty);
    QCOMPARE(int(cfgetispeed(&after)), speed);
    QVERIFY(pty.readSent().isEmpty());
}

// SioReset then SioDone, as the scan probes, changes nothing about the port.
void TestWsc::probeLeavesLineAlone()
{
    ComDir dir;
    PtyPair pty;
    dir.map(10, pty.slavePath());
    termios tio = slaveTermios(pty);
    cfsetspeed(&tio, B2400);
    tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7 | CSTOPB;
    QCOMPARE(::tcsetattr(pty.masterFd(), TCSANOW, &tio), 0);
    const termios before = slaveTermios(pty);

    QCOMPARE(SioReset(9, 512, 512), 0);
    QCOMPARE(SioDone(9), 0);
    QVERIFY(QDir(dir.locks().path()).isEmpty()); // and leaves no lock file behind

    const termios after = slaveTermios(pty);
    QCOMPARE(int(cfgetispeed(&after)), int(B2400));
    QCOMPARE(after.c_cflag, before.c_cflag);
    QCOMPARE(after.c_lflag, before.c_lflag);
    QCOMPARE(after.c_iflag, before.c_iflag);
}

// A line left raw with VMIN 0 by an earlier user reads 0 bytes when idle; that is not a
// hang-up.
void TestWsc::unconfiguredLineReadsWithoutFalseHangUp()
{
    ComDir dir;
    PtyPair pty;
    dir.map(11, pty.slavePath());
    termios tio = slaveTermios(pty);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    QCOMPARE(::tcsetattr(pty.masterFd(), TCSANOW, &tio), 0);

    QCOMPARE(SioReset(10, 1024, 1024), 0);
    QCOMPARE(SioGetc(10), SIO_NO_DATA);
    QVERIFY(pty.write("P:2\r\n"));
    QCOMPARE(drain(10, 5), QByteArray("P:2\r\n"));
    QCOMPARE(SioGetc(10), SIO_NO_DATA);
    QVERIFY(pty.readSent().isEmpty());
}

void TestWsc::heldPortsAreRefused_data()
{
    QTest::addColumn<bool>("exclusiveFlag");
    QTest::addColumn<bool>("lock");
    QTest::newRow("TIOCEXCL holder") << true << false;
    QTest::newRow("flock holder") << false << true;
}

// We run the tests as root too, where TIOCEXCL alone does not stop an open.
void TestWsc::heldPortsAreRefused()
{
    QFETCH(bool, exclusiveFlag);
    QFETCH(bool, lock);

    ComDir dir;
    PtyPair pty;
    dir.map(2, pty.slavePath());
    const int holder = ::open(QFile::encodeName(pty.slavePath()).constData(),
                              O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(holder >= 0);
    if (exclusiveFlag) QCOMPARE(::ioctl(holder, TIOCEXCL), 0);
    if (lock) QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
    termios before{};
    ::tcgetattr(holder, &before);

    QCOMPARE(SioReset(1, 512, 512), SIO_BUSY);
    QCOMPARE(SioGetc(1), SIO_NOT_OPEN);

    // The holder keeps its flag and its settings.
    int excl = 0;
    QCOMPARE(::ioctl(holder, TIOCGEXCL, &excl), 0);
    QCOMPARE(bool(excl), exclusiveFlag);
    termios after{};
    ::tcgetattr(holder, &after);
    QCOMPARE(after.c_lflag, before.c_lflag);
    QCOMPARE(after.c_cflag, before.c_cflag);

    if (exclusiveFlag) ::ioctl(holder, TIOCNXCL);
    ::close(holder);
    QCOMPARE(SioReset(1, 512, 512), 0);
}

// A port the library holds is refused to others, our own primary link included, and free for
// them again after SioDone.
void TestWsc::openPortIsHeldAgainstOthers()
{
    ComDir dir;
    PtyPair pty;
    dir.map(9, pty.slavePath());
    QCOMPARE(SioReset(8, 1024, 1024), 0);

    int error = 0;
    QCOMPARE(serial::openExclusive(pty.slavePath(), &error).fd(), -1);
    QCOMPARE(error, EBUSY);

    // Terminal programs see our UUCP lock file while the port is open.
    const QString lockFile = dir.locks().lockFile(pty.slavePath());
    QVERIFY(QFile::exists(lockFile));
    QCOMPARE(SioDone(8), 0);
    QVERIFY(!QFile::exists(lockFile));
    serial::ExclusivePort port = serial::openExclusive(pty.slavePath(), &error);
    const int fd = port.fd();
    QVERIFY(fd >= 0);
    QCOMPARE(SioReset(8, 1024, 1024), SIO_BUSY);
    port.close();

    // A program that has the port open without any lock holds it too.
    testsupport::OtherProcess plain(pty.slavePath());
    QVERIFY(plain.isValid());
    QCOMPARE(SioReset(8, 1024, 1024), SIO_BUSY);
    QVERIFY(!QFile::exists(lockFile));
}

void TestWsc::modemLinesOnPtyFailButDataFlows()
{
    ComDir dir;
    PtyPair pty;
    dir.map(3, pty.slavePath());
    QCOMPARE(SioReset(2, 1024, 1024), 0);
    QCOMPARE(SioBaud(2, 9600), 0);
    QCOMPARE(SioDTR(2, 'S'), SIO_NO_CONTROL);
    QCOMPARE(SioRTS(2, 'S'), SIO_NO_CONTROL);
    QCOMPARE(SioDTR(2, 'R'), SIO_NO_CONTROL);
    QCOMPARE(SioParms(2, 0, 0, 8), 0);
    QCOMPARE(SioStatus(2, 8), 0); // a pty counts no line errors
    QCOMPARE(SioStatus(2, -1), 0);
    QCOMPARE(SioRxClear(2), 0);

    const QByteArray line("P:14.70,psi\r\n");
    QVERIFY(pty.write(line));
    QCOMPARE(drain(2, int(line.size())), line);
    QVERIFY(pty.readSent().isEmpty());
}

void TestWsc::bytesInOrderThenNoData()
{
    ComDir dir;
    PtyPair pty;
    dir.map(4, pty.slavePath());
    QVERIFY(openLikeTheLink(3));

    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i)); // NUL, CR, LF, 0x80..0xFF: all pass unchanged
    all += all;
    QVERIFY(pty.write(all));
    QCOMPARE(drain(3, int(all.size())), all);
    QCOMPARE(SioGetc(3), SIO_NO_DATA);
    QCOMPARE(SioGetc(3), SIO_NO_DATA);

    // Nothing was lost on the way: later bytes still come.
    QVERIFY(pty.write("x"));
    QCOMPARE(drain(3, 1), QByteArray("x"));
    QVERIFY(pty.readSent().isEmpty());
}

// Each refill reads at most the queue's size.
void TestWsc::queueBoundsEachRead()
{
    ComDir dir;
    PtyPair pty;
    dir.map(5, pty.slavePath());
    QVERIFY(openLikeTheLink(4, 16));
    QCOMPARE(SioReadCalls(4), 0);

    QByteArray data;
    for (int i = 0; i < 100; ++i)
        data.append(char('a' + i % 26));
    QVERIFY(pty.write(data));
    QCOMPARE(drain(4, int(data.size())), data);
    QVERIFY2(SioReadCalls(4) >= 7, "100 bytes through a 16-byte queue need 7 reads or more");
}

void TestWsc::rxClearDropsPendingBytes()
{
    ComDir dir;
    PtyPair pty;
    dir.map(6, pty.slavePath());
    QVERIFY(openLikeTheLink(5));

    QVERIFY(pty.write("old bytes, part in the queue"));
    QCOMPARE(drain(5, 1), QByteArray("o")); // the rest now waits in the queue
    QVERIFY(pty.write(", part in the driver"));
    QCOMPARE(SioRxClear(5), 0);
    QCOMPARE(SioGetc(5), SIO_NO_DATA);

    QVERIFY(pty.write("new\r\n"));
    QCOMPARE(drain(5, 5), QByteArray("new\r\n"));
    QVERIFY(pty.readSent().isEmpty());
}

// The device goes away: SIO_HANGUP once, the port is closed, then SIO_NOT_OPEN; when the
// device comes back under the same COM number a new SioReset makes data flow again.
void TestWsc::hangUpReportedOnceThenReopen()
{
    ComDir dir;
    auto first = std::make_unique<PtyPair>();
    dir.map(12, first->slavePath());
    QVERIFY(openLikeTheLink(11));
    QVERIFY(first->write("A:1\r\n"));
    QCOMPARE(drain(11, 5), QByteArray("A:1\r\n"));
    QVERIFY(first->readSent().isEmpty());

    const QString lockFile = dir.locks().lockFile(first->slavePath());
    QVERIFY(QFile::exists(lockFile));
    first->hangUp();
    QCOMPARE(nextEvent(11), SIO_HANGUP);
    QVERIFY(!QFile::exists(lockFile));
    for (int i = 0; i < 1024; ++i)
        QCOMPARE(SioGetc(11), SIO_NOT_OPEN);
    QCOMPARE(SioDone(11), SIO_NOT_OPEN);
    QCOMPARE(QString::fromLocal8Bit(SioDevicePath(11)), QString());
    first.reset();

    PtyPair second;
    dir.map(12, second.slavePath());
    QVERIFY(openLikeTheLink(11));
    QVERIFY(second.write("B:2\r\n"));
    QCOMPARE(drain(11, 5), QByteArray("B:2\r\n"));
    QVERIFY(second.readSent().isEmpty());
}

QTEST_GUILESS_MAIN(TestWsc)
#include "tst_wsc.moc"
