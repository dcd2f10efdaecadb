// kill -9 while "Save all readings" writes: every record already in a file is a whole CR LF
// line, and the next start is not blocked by the lock the killed copy left behind.
#include "tests/support/AppWorld.h"

#include <QProcess>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

class TestKillSaveAll : public QObject {
    Q_OBJECT
private slots:
    void killedWhileSavingLeavesWholeLinesAndNoStaleLock();
};

namespace {

// Starts the harness and waits for it to be saving. Empty when it did not get there.
QString start(QProcess &p)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(QStringLiteral(NP_SAVEALL_HARNESS), {QStringLiteral(" 12")});
    if (!p.waitForStarted(10000)) return QStringLiteral("did not start");
    QByteArray out;
    QDeadlineTimer deadline(20000);
    while (!out.contains("READY\n") && !deadline.hasExpired()) {
        if (p.state() == QProcess::NotRunning) break;
        p.waitForReadyRead(100);
        out += p.readAllStandardOutput();
    }
    if (out.contains("READY\n")) return {};
    return QStringLiteral("not ready (exit %1): %2 %3")
        .arg(p.exitCode())
        .arg(QString::fromLocal8Bit(out), QString::fromLocal8Bit(p.readAllStandardError()));
}

// A real port forgets the killed holder's exclusive flag with its last close; a pseudo-terminal
// whose master stays open keeps it, and the next start would list the port as "already open".
// Clear it as unplugging and replugging the device would (as root the open gets past it).
void releaseExclusiveFlag(const QString &slave)
{
    const int fd = ::open(QFile::encodeName(slave).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

} // namespace

void TestKillSaveAll::killedWhileSavingLeavesWholeLinesAndNoStaleLock()
{
    AppWorld world;
    world.makeDataFolder();
    testsupport::PtyPair device;
    world.comDir.map(12, device.slavePath());
    QByteArray sent;
    int next = 0;
    QByteArray pending; // the device's stream goes on where it stopped, across the restarts
    for (int round = 0; round < 5; ++round) {
        QProcess p;
        const QString problem = start(p);
        QVERIFY2(problem.isEmpty(),
                 qPrintable(QStringLiteral("round %1: %2").arg(round).arg(problem)));
        // Stream readings as fast as the pty takes them, then kill without warning, at a
        // different moment each round.
        QElapsedTimer t;
        t.start();
        const int streamMs = 150 + 70 * round;
        while (t.elapsed() < streamMs) {
            if (pending.isEmpty())
                for (int i = 0; i < 50; ++i)
                    pending += "R:0,K,T,1," + QByteArray::number(next++) + ",C\r\n";
            const ssize_t n =
                ::write(device.masterFd(), pending.constData(), size_t(pending.size()));
            if (n > 0)
                pending.remove(0, n);
            else
                ::usleep(200);
        }
        QVERIFY(::kill(pid_t(p.processId()), SIGKILL) == 0);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        sent += device.readSent();
        releaseExclusiveFlag(device.slavePath());
    }

    QFile f(world.dataFolder() + QStringLiteral("/K.txt"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray all = f.readAll();
    QVERIFY2(all.endsWith("\r\n"), all.right(80).constData());
    QList<QByteArray> records = all.split('\n');
    records.removeLast();
    QVERIFY(records.size() > 0);
    qInfo("%lld whole records survived 5 kills; %d readings sent", qlonglong(records.size()), next);
    const QRegularExpression whole(QStringLiteral("^[^,\r\n]+,K,T,1,(\\d+),C,,psi\r$"));
    int previous = -1;
    for (const QByteArray &r : records) {
        const auto m = whole.match(QString::fromLatin1(r));
        QVERIFY2(m.hasMatch(), r.constData());
        const int value = m.captured(1).toInt();
        QVERIFY2(value > previous, r.constData());
        previous = value;
    }

    // The killed copies' lock does not keep the next start away.
    QProcess last;
    const QString problem = start(last);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    last.kill();
    last.waitForFinished(10000);
    sent += device.readSent();
    QCOMPARE(sent, QByteArray()); // nothing went to the device
}

QTEST_MAIN(TestKillSaveAll)
#include "tst_killsaveall.moc"
