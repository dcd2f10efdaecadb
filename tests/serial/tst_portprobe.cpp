// Probing COM numbers without disturbing a holder, and holding a port exclusively.
#include "serial/ComNames.h"
#include "serial/PortProbe.h"
#include "serial/TtyDevice.h"
#include "tests/support/PtyPair.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace serial;
using testsupport::ComDir;
using testsupport::PtyPair;

Q_DECLARE_METATYPE(serial::ProbeResult)

namespace {

enum class Holder { None, Exclusive, Flock, OurOpen };

// Another program holding the slave in one of the ways a probe has to notice.
struct HeldPort {
    int fd = -1;
    HeldPort(const QString &path, Holder how)
    {
        if (how == Holder::None) return;
        if (how == Holder::OurOpen) {
            int error = 0;
            fd = openExclusive(path, &error);
            return;
        }
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return;
        if (how == Holder::Exclusive) ::ioctl(fd, TIOCEXCL);
        if (how == Holder::Flock) ::flock(fd, LOCK_EX | LOCK_NB);
    }
    ~HeldPort()
    {
        if (fd < 0) return;
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
    }
};

bool exclusiveFlag(int fd)
{
    int on = 0;
    return ::ioctl(fd, TIOCGEXCL, &on) == 0 && on != 0;
}

bool sameTermios(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

} // namespace

class TstPortProbe : public QObject {
    Q_OBJECT
private slots:
    // A pty keeps the exclusive flag of a holder that was killed for as long as the device
    // lives; with nobody holding the device, the flag is left over and the port is free.
    void leftoverExclusiveFlagDoesNotHoldThePort()
    {
        testsupport::PtyPair pty;
        const QByteArray path = QFile::encodeName(pty.slavePath());
        const int gone = ::open(path.constData(), O_RDWR | O_NOCTTY);
        QVERIFY(gone >= 0);
        QCOMPARE(::ioctl(gone, TIOCEXCL), 0);
        ::close(gone);
        QCOMPARE(serial::probeDevice(pty.slavePath()), ProbeResult::Free);
        int err = 0;
        const int fd = serial::openExclusive(pty.slavePath(), &err);
        QVERIFY2(fd >= 0, strerror(err));
        // Now the flag is ours, and a live holder's flag still counts.
        QCOMPARE(serial::probeDevice(pty.slavePath()), ProbeResult::Held);
        QCOMPARE(serial::openExclusive(pty.slavePath(), &err), -1);
        QCOMPARE(err, EBUSY);
        serial::closeExclusive(fd);
    }
    void classification_data()
    {
        QTest::addColumn<int>("holder");
        QTest::addColumn<serial::ProbeResult>("expected");
        QTest::newRow("free") << int(Holder::None) << ProbeResult::Free;
        QTest::newRow("exclusive flag (root opens anyway)")
            << int(Holder::Exclusive) << ProbeResult::Held;
        QTest::newRow("flock") << int(Holder::Flock) << ProbeResult::Held;
        QTest::newRow("our own serial layer") << int(Holder::OurOpen) << ProbeResult::Held;
    }
    void classification()
    {
        QFETCH(int, holder);
        QFETCH(serial::ProbeResult, expected);
        PtyPair pty;
        QVERIFY(pty.isValid());
        ComDir comDir;
        comDir.map(4, pty.slavePath());
        HeldPort held(pty.slavePath(), Holder(holder));
        if (Holder(holder) != Holder::None) QVERIFY(held.fd >= 0);
        QCOMPARE(probeCom(4), expected);
        QCOMPARE(probeDevice(pty.slavePath()), expected);
        // Probing twice gives the same answer: the probe leaves nothing behind.
        QCOMPARE(probeCom(4), expected);

        // Our exclusive open refuses exactly the ports the probe calls held, and the refused
        // attempt leaves the holder as it was.
        int error = 0;
        const int fd = openExclusive(pty.slavePath(), &error);
        QCOMPARE(fd >= 0, expected == ProbeResult::Free);
        if (fd < 0) QCOMPARE(error, EBUSY);
        closeExclusive(fd);
        if (Holder(holder) == Holder::Exclusive || Holder(holder) == Holder::OurOpen)
            QVERIFY(exclusiveFlag(held.fd));
        QCOMPARE(probeCom(4), expected);
    }

    void absent()
    {
        QTemporaryDir tmp;
        QFile plain(tmp.filePath("plain"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        ComDir comDir;
        comDir.map(1, tmp.filePath("missing"));
        comDir.map(2, plain.fileName());
        comDir.map(3, QStringLiteral("/dev/null"));
        QCOMPARE(probeCom(1), ProbeResult::Absent); // dangling link
        QCOMPARE(probeCom(2), ProbeResult::Absent); // not a device
        QCOMPARE(probeCom(3), ProbeResult::Absent); // a device, but not a tty
        QCOMPARE(probeCom(7), ProbeResult::Absent); // no entry at all
        QCOMPARE(probeDevice(QString()), ProbeResult::Absent);

        int error = 0;
        QCOMPARE(openExclusive(QStringLiteral("/dev/null"), &error), -1);
        QCOMPARE(error, ENOTTY);
        QCOMPARE(openExclusive(tmp.filePath("missing"), &error), -1);
        QCOMPARE(error, ENOENT);
    }

    // A port this user may not open is listed as such (EACCES), not taken as absent. Root
    // opens anything, so the probe runs in a child that has become an unprivileged user.
    void noPermission()
    {
        if (::geteuid() != 0) QSKIP("needs root to switch to an unprivileged user");
        PtyPair pty;
        QVERIFY(::chmod(QFile::encodeName(pty.slavePath()).constData(), 0600) == 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
            int error = 0;
            const bool refused = openExclusive(pty.slavePath(), &error) < 0 && error == EACCES;
            ::_exit(refused ? int(probeDevice(pty.slavePath())) : 101);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), int(ProbeResult::NoPermission));
    }

    // The probe must not clear the holder's exclusive flag, touch its termios or take its
    // lock away.
    void holderUndisturbed()
    {
        PtyPair pty;
        int error = 0;
        const int fd = openExclusive(pty.slavePath(), &error);
        QVERIFY2(fd >= 0, strerror(error));
        LineSettings odd;
        odd.baud = 4800;
        odd.parity = 'e';
        odd.dataBits = 7;
        odd.stopBits = 2;
        QCOMPARE(configureLine(fd, odd), 0);
        termios before{};
        QCOMPARE(::tcgetattr(fd, &before), 0);

        for (int i = 0; i < 3; ++i)
            QCOMPARE(probeDevice(pty.slavePath()), ProbeResult::Held);

        QVERIFY(exclusiveFlag(fd));
        termios after{};
        QCOMPARE(::tcgetattr(fd, &after), 0);
        QVERIFY(sameTermios(before, after));
        int again = 0;
        QCOMPARE(openExclusive(pty.slavePath(), &again), -1);
        QCOMPARE(again, EBUSY);

        // Once released, nothing of ours outlives the descriptor.
        closeExclusive(fd);
        QCOMPARE(probeDevice(pty.slavePath()), ProbeResult::Free);
        closeExclusive(-1); // harmless
    }

    void lineConfiguration()
    {
        PtyPair pty;
        int error = 0;
        const int fd = openExclusive(pty.slavePath(), &error);
        QVERIFY(fd >= 0);
        QVERIFY(exclusiveFlag(fd));
        QCOMPARE(configureLine(fd, LineSettings{}), 0);
        termios tio{};
        QCOMPARE(::tcgetattr(fd, &tio), 0);
        QCOMPARE(cfgetispeed(&tio), speed_t(B9600));
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
        QCOMPARE(tio.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        QCOMPARE(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), tcflag_t(0));
        QCOMPARE(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), tcflag_t(0));
        QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
        QCOMPARE(int(tio.c_cc[VMIN]), 0);
        QCOMPARE(int(tio.c_cc[VTIME]), 0);

        LineSettings bad;
        bad.baud = 12345;
        QCOMPARE(configureLine(fd, bad), EINVAL);
        closeExclusive(fd);
    }
};

QTEST_GUILESS_MAIN(TstPortProbe)
#include "tst_portprobe.moc"
