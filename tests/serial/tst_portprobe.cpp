// Probing COM numbers without disturbing a holder, and holding a port exclusively.
#include "serial/ComNames.h"
#include "serial/PortProbe.h"
#include "serial/TtyDevice.h"
#include "tests/support/PtyPair.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
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
    ExclusivePort ours;
    HeldPort(const QString &path, Holder how)
    {
        if (how == Holder::None) return;
        if (how == Holder::OurOpen) {
            int error = 0;
            ours = openExclusive(path, &error);
            fd = ours.fd();
            return;
        }
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return;
        if (how == Holder::Exclusive) ::ioctl(fd, TIOCEXCL);
        if (how == Holder::Flock) ::flock(fd, LOCK_EX | LOCK_NB);
    }
    ~HeldPort()
    {
        if (fd < 0 || ours.isOpen()) return;
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
    }
};

bool exclusiveFlag(int fd)
{
    int on = 0;
    return ::ioctl(fd, TIOCGEXCL, &on) == 0 && on != 0;
}

// Ways a port is held by programs that take no lock of ours, or not held at all.
enum class Other {
    PlainOpen,     // another process has it open, no lock, no exclusive flag
    ExclusiveFlag, // another holder set TIOCEXCL (an unprivileged open fails with EBUSY)
    LockAscii,     // a live process's UUCP lock file, PID as ten ASCII characters
    LockBinary,    // the same in the old binary form
    StaleLock,     // a lock file whose process is gone
    GarbageLock,   // a lock file that names no process
    OwnPlainOpen,  // the prober's own process has it open without a lock
};

// What the prober saw: the probe's result, and whether our exclusive open was refused as held
// (1), succeeded (2) or failed otherwise (3).
int probeAndOpen(const QString &path, bool ownPlainOpen)
{
    const int own = ownPlainOpen ? ::open(QFile::encodeName(path).constData(),
                                          O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)
                                 : -1;
    const int probe = int(probeDevice(path));
    int error = 0;
    const bool opened = openExclusive(path, &error).isOpen(); // and let go at once
    const int open = opened ? 2 : error == EBUSY ? 1 : 3;
    if (own >= 0) ::close(own);
    return probe * 10 + open;
}

void writeLock(const QString &file, const QByteArray &content)
{
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(content), content.size());
}

QByteArray asciiPid(int pid)
{
    return QByteArray::number(pid).rightJustified(10, ' ') + '\n';
}

// What sits at a lock file's name: a lock naming a live process, one of another user, a stale
// one, or something another user planted.
enum class Plant { Live, ForeignLive, Stale, Fifo, Directory, Link, DanglingLink };

bool sameTermios(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

} // namespace

class TstPortProbe : public QObject {
    Q_OBJECT
    // Lock files of the tests that map no COM numbers go here, not to the machine's /run/lock.
    testsupport::LockDir m_locks;
private slots:
    // Programs that take no lock of ours still hold a port: one that just has it open, and
    // one that names it in a live UUCP lock file. The probe calls such a port held and our
    // exclusive open refuses it; stale or unreadable lock files and our own process's
    // descriptors do not count. Each case runs as root and, from a child that has become an
    // unprivileged user, as an operator would: there an exclusive holder makes the open fail
    // with EBUSY, and other users' processes are hidden from us.
    void heldWithoutOurLock_data()
    {
        QTest::addColumn<int>("other");
        QTest::addColumn<bool>("asUser");
        QTest::addColumn<serial::ProbeResult>("expected");
        const struct {
            const char *name;
            Other other;
            ProbeResult expected;
        } cases[] = {
            {"open in another process", Other::PlainOpen, ProbeResult::Held},
            {"exclusive flag", Other::ExclusiveFlag, ProbeResult::Held},
            {"live lock file", Other::LockAscii, ProbeResult::Held},
            {"live binary lock file", Other::LockBinary, ProbeResult::Held},
            {"stale lock file", Other::StaleLock, ProbeResult::Free},
            {"unreadable lock file", Other::GarbageLock, ProbeResult::Free},
            {"open in our own process", Other::OwnPlainOpen, ProbeResult::Free},
        };
        for (const auto &c : cases) {
            QTest::addRow("%s, as root", c.name) << int(c.other) << false << c.expected;
            QTest::addRow("%s, as a user", c.name) << int(c.other) << true << c.expected;
        }
    }
    void heldWithoutOurLock()
    {
        QFETCH(int, other);
        QFETCH(bool, asUser);
        QFETCH(serial::ProbeResult, expected);
        const bool root = ::geteuid() == 0;
        if (asUser && !root) QSKIP("needs root to switch to an unprivileged user");
        const unsigned user = asUser ? 65534 : 0;

        PtyPair pty;
        QVERIFY(pty.isValid());
        const QString path = pty.slavePath();
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0666), 0);
        testsupport::LockDir locks;
        QCOMPARE(::chmod(QFile::encodeName(locks.path()).constData(), 01777), 0);
        const QString lockFile = locks.lockFile(path);

        std::unique_ptr<testsupport::OtherProcess> holder;
        int exclusive = -1;
        switch (Other(other)) {
        case Other::PlainOpen:
            // A process of the prober's own user: other users' processes stay hidden.
            holder = std::make_unique<testsupport::OtherProcess>(path, user);
            QVERIFY(holder->isValid());
            break;
        case Other::ExclusiveFlag:
            exclusive = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
            QVERIFY(exclusive >= 0);
            QCOMPARE(::ioctl(exclusive, TIOCEXCL), 0);
            break;
        case Other::LockAscii:
        case Other::LockBinary: {
            holder = std::make_unique<testsupport::OtherProcess>();
            QVERIFY(holder->isValid());
            const int pid = holder->pid();
            writeLock(lockFile, Other(other) == Other::LockAscii
                                    ? asciiPid(pid)
                                    : QByteArray(reinterpret_cast<const char *>(&pid), 4));
            break;
        }
        case Other::StaleLock: {
            const pid_t gone = ::fork();
            if (gone == 0) ::_exit(0);
            QVERIFY(gone > 0);
            QCOMPARE(::waitpid(gone, nullptr, 0), gone);
            writeLock(lockFile, asciiPid(gone));
            break;
        }
        case Other::GarbageLock:
            writeLock(lockFile, "not a pid\n");
            break;
        case Other::OwnPlainOpen:
            break;
        }
        // A lock the prober may take over is one of its own user's: in a sticky lock folder
        // nobody else can remove it.
        const bool lockBefore = QFile::exists(lockFile);
        if (lockBefore) QCOMPARE(::chown(QFile::encodeName(lockFile).constData(), user, user), 0);

        const int wantOpen = expected == ProbeResult::Held ? 1 : 2;
        const bool ownOpen = Other(other) == Other::OwnPlainOpen;
        if (!asUser) {
            QCOMPARE(probeAndOpen(path, ownOpen), int(expected) * 10 + wantOpen);
        } else {
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
                ::_exit(probeAndOpen(path, ownOpen));
            }
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            QVERIFY(WIFEXITED(status));
            QCOMPARE(WEXITSTATUS(status), int(expected) * 10 + wantOpen);
        }
        // A live holder's lock file is left alone; a stale one that our open took over is
        // gone again with our close.
        if (expected == ProbeResult::Held && lockBefore) QVERIFY(QFile::exists(lockFile));
        if (expected == ProbeResult::Free) QVERIFY(!QFile::exists(lockFile));
        if (exclusive >= 0) ::close(exclusive);
    }

    // Lock files as terminal programs write them, and what another user may plant at a lock's
    // name in the shared lock folder. A live PID holds the port whatever follows it (a program
    // or user name, a CR, more lines), also when its process is another user's, and its file
    // stays. A FIFO, a directory or a link is no lock: probe and open go on at once, leave it
    // as it was and write nothing through it. Each row runs as root and as a user; a row that
    // hangs is ended by an alarm.
    void plantedLockFiles_data()
    {
        QTest::addColumn<int>("plant");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<serial::ProbeResult>("expected");
        QTest::addColumn<bool>("asUser");
        const struct {
            const char *name;
            Plant plant;
            const char *content; // %1: the holder's PID
            ProbeResult expected;
        } cases[] = {
            {"name and user after the PID", Plant::Live, "     %1 minicom root\n",
             ProbeResult::Held},
            {"tab and name", Plant::Live, "%1\tcu\n", ProbeResult::Held},
            {"CR LF", Plant::Live, "     %1\r\n", ProbeResult::Held},
            {"a second line", Plant::Live, "     %1\nextra\n", ProbeResult::Held},
            {"another user's live lock", Plant::ForeignLive, "%1\n", ProbeResult::Held},
            {"a stale one with a name", Plant::Stale, "     %1 minicom root\n", ProbeResult::Free},
            {"FIFO", Plant::Fifo, "", ProbeResult::Free},
            {"directory", Plant::Directory, "", ProbeResult::Free},
            {"link to a file", Plant::Link, "", ProbeResult::Free},
            {"dangling link", Plant::DanglingLink, "", ProbeResult::Free},
        };
        for (const auto &c : cases) {
            if (c.plant != Plant::ForeignLive)
                QTest::addRow("%s, as root", c.name)
                    << int(c.plant) << QByteArray(c.content) << c.expected << false;
            QTest::addRow("%s, as a user", c.name)
                << int(c.plant) << QByteArray(c.content) << c.expected << true;
        }
    }
    void plantedLockFiles()
    {
        QFETCH(int, plant);
        QFETCH(QByteArray, content);
        QFETCH(serial::ProbeResult, expected);
        QFETCH(bool, asUser);
        const bool root = ::geteuid() == 0;
        // Not root: the prober is the user running the test, and PID 1 another user's process.
        if (Plant(plant) == Plant::ForeignLive && !root && !(::kill(1, 0) != 0 && errno == EPERM))
            QSKIP("no process of another user to name");
        const unsigned user = asUser && root ? 65534 : ::geteuid();

        PtyPair pty;
        QVERIFY(pty.isValid());
        const QString path = pty.slavePath();
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0666), 0);
        testsupport::LockDir locks;
        QCOMPARE(::chmod(QFile::encodeName(locks.path()).constData(), 01777), 0);
        const QByteArray lockFile = QFile::encodeName(locks.lockFile(path));
        QTemporaryDir elsewhere;
        const QByteArray target = QFile::encodeName(elsewhere.filePath(QStringLiteral("target")));

        std::unique_ptr<testsupport::OtherProcess> holder;
        int pid = 0;
        switch (Plant(plant)) {
        case Plant::Live:
            holder = std::make_unique<testsupport::OtherProcess>(QString(), user);
            QVERIFY(holder->isValid());
            pid = holder->pid();
            break;
        case Plant::ForeignLive:
            if (root) {
                holder = std::make_unique<testsupport::OtherProcess>();
                QVERIFY(holder->isValid());
                pid = holder->pid();
            } else {
                pid = 1;
            }
            break;
        case Plant::Stale:
            pid = ::fork();
            if (pid == 0) ::_exit(0);
            QVERIFY(pid > 0);
            QCOMPARE(::waitpid(pid, nullptr, 0), pid);
            break;
        case Plant::Fifo:
            QCOMPARE(::mkfifo(lockFile.constData(), 0666), 0);
            break;
        case Plant::Directory:
            QCOMPARE(::mkdir(lockFile.constData(), 0777), 0);
            break;
        case Plant::Link:
            writeLock(QFile::decodeName(target), "1\n");
            QCOMPARE(::chmod(target.constData(), 0666), 0);
            QCOMPARE(::symlink(target.constData(), lockFile.constData()), 0);
            break;
        case Plant::DanglingLink:
            QCOMPARE(::symlink(target.constData(), lockFile.constData()), 0);
            break;
        }
        if (!content.isEmpty()) {
            writeLock(QFile::decodeName(lockFile),
                      QString::fromLatin1(content).arg(pid).toLatin1());
            QCOMPARE(::chown(lockFile.constData(), user, user), 0);
        }
        struct stat before {};
        QCOMPARE(::lstat(lockFile.constData(), &before), 0);

        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::alarm(10);
            if (asUser && root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(100);
            ::_exit(probeAndOpen(path, false));
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFEXITED(status), "the probe hung or crashed");
        QCOMPARE(WEXITSTATUS(status), int(expected) * 10 + (expected == ProbeResult::Held ? 1 : 2));

        struct stat after {};
        if (Plant(plant) == Plant::Stale) {
            QCOMPARE(::lstat(lockFile.constData(), &after), -1); // taken over, then let go
            return;
        }
        // A live lock, or a planted thing, is where it was, as it was.
        QCOMPARE(::lstat(lockFile.constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mode, before.st_mode);
        if (Plant(plant) == Plant::Link) {
            QFile f(QFile::decodeName(target));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray("1\n"));
        }
        if (Plant(plant) == Plant::DanglingLink) QVERIFY(!QFile::exists(QFile::decodeName(target)));
    }

    // Each scan takes its own look at the other processes: a scope that ended leaves no view
    // behind for the next, which sees a port another process opened in between.
    void scopesInARowEachLookAgain()
    {
        PtyPair first, second;
        QVERIFY(first.isValid() && second.isValid());
        testsupport::OtherProcess holdsFirst(first.slavePath());
        QVERIFY(holdsFirst.isValid());
        {
            ProbeScope scope;
            QCOMPARE(probeDevice(first.slavePath()), ProbeResult::Held);
            QCOMPARE(probeDevice(second.slavePath()), ProbeResult::Free);
        }
        testsupport::OtherProcess holdsSecond(second.slavePath());
        QVERIFY(holdsSecond.isValid());
        {
            ProbeScope scope;
            QCOMPARE(probeDevice(second.slavePath()), ProbeResult::Held);
            QCOMPARE(probeDevice(first.slavePath()), ProbeResult::Held);
        }
    }

    // While we hold a port, our UUCP lock file names us, in every lock directory we may write
    // in; it goes when we let go. A probe writes none; a stale lock or one left by us is taken
    // over; a live one of another process refuses the port and stays. No folder is created.
    void ourLockFile()
    {
        PtyPair pty;
        const QString path = pty.slavePath();
        testsupport::LockDir first;
        QTemporaryDir second;
        const QString missing = second.filePath(QStringLiteral("missing"));
        qputenv("NARWICKPANEL_LOCK_DIRS", QFile::encodeName(first.path() + ':' + missing + ':' +
                                                            second.path() + ':' + first.path()));
        const QString name = QStringLiteral("LCK..") + path.section('/', -1);
        const QString lockA = first.path() + '/' + name, lockB = second.filePath(name);
        const QByteArray ours = asciiPid(::getpid());
        const auto read = [](const QString &file) {
            QFile f(file);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };

        QCOMPARE(probeDevice(path), ProbeResult::Free);
        QVERIFY(QDir(first.path()).isEmpty());
        QVERIFY(QDir(second.path()).isEmpty());

        int error = 0;
        ExclusivePort port = openExclusive(path, &error);
        QVERIFY2(port.isOpen(), strerror(error));
        QCOMPARE(read(lockA), ours);
        QCOMPARE(read(lockB), ours);
        QCOMPARE(QDir(first.path()).count(), 3u); // ".", ".." and the lock: no temporary left
        QVERIFY(!QFile::exists(missing));
        QCOMPARE(probeDevice(path), ProbeResult::Held); // and it stays ours
        QCOMPARE(read(lockA), ours);
        port.close();
        QVERIFY(!QFile::exists(lockA));
        QVERIFY(!QFile::exists(lockB));

        // A lock left by a process that is gone, or by us, is taken over.
        writeLock(lockA, asciiPid(0x7ffffff0));
        writeLock(lockB, ours);
        port = openExclusive(path, &error);
        QVERIFY2(port.isOpen(), strerror(error));
        QCOMPARE(read(lockA), ours);
        QCOMPARE(read(lockB), ours);
        port.close();
        QVERIFY(!QFile::exists(lockA) && !QFile::exists(lockB));

        // A live lock of another process, in any one directory, refuses the port.
        testsupport::OtherProcess other;
        QVERIFY(other.isValid());
        writeLock(lockB, asciiPid(other.pid()));
        QCOMPARE(openExclusive(path, &error).fd(), -1);
        QCOMPARE(error, EBUSY);
        QCOMPARE(read(lockB), asciiPid(other.pid()));
        QVERIFY(!QFile::exists(lockA));
        QVERIFY(!QFile::exists(missing));

        // With no lock directory at all the port opens as before.
        ::unlink(QFile::encodeName(lockB).constData());
        qputenv("NARWICKPANEL_LOCK_DIRS", "");
        port = openExclusive(path, &error);
        QVERIFY(port.isOpen());
        port.close();
        qputenv("NARWICKPANEL_LOCK_DIRS", QFile::encodeName(m_locks.path()));
    }

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
        serial::ExclusivePort port = serial::openExclusive(pty.slavePath(), &err);
        const int fd = port.fd();
        QVERIFY2(fd >= 0, strerror(err));
        // Now the flag is ours, and a live holder's flag still counts.
        QCOMPARE(serial::probeDevice(pty.slavePath()), ProbeResult::Held);
        QCOMPARE(serial::openExclusive(pty.slavePath(), &err).fd(), -1);
        QCOMPARE(err, EBUSY);
        port.close();
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
        ExclusivePort port = openExclusive(pty.slavePath(), &error);
        const int fd = port.fd();
        QCOMPARE(fd >= 0, expected == ProbeResult::Free);
        if (fd < 0) QCOMPARE(error, EBUSY);
        port.close();
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
        QCOMPARE(openExclusive(QStringLiteral("/dev/null"), &error).fd(), -1);
        QCOMPARE(error, ENOTTY);
        QCOMPARE(openExclusive(tmp.filePath("missing"), &error).fd(), -1);
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
            const bool refused = openExclusive(pty.slavePath(), &error).fd() < 0 && error == EACCES;
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
        ExclusivePort port = openExclusive(pty.slavePath(), &error);
        const int fd = port.fd();
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
        QCOMPARE(openExclusive(pty.slavePath(), &again).fd(), -1);
        QCOMPARE(again, EBUSY);

        // Once released, nothing of ours outlives the descriptor.
        port.close();
        QCOMPARE(probeDevice(pty.slavePath()), ProbeResult::Free);
        port.close(); // again: harmless
    }

    void lineConfiguration()
    {
        PtyPair pty;
        int error = 0;
        ExclusivePort port = openExclusive(pty.slavePath(), &error);
        const int fd = port.fd();
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
        port.close();
    }
};

QTEST_GUILESS_MAIN(TstPortProbe)
#include "tst_portprobe.moc"
