// Records reach the disk: the sync policy seen through an injected sync function and timer,
// the sync thread, and the default sync on real files.
#include "primary/DiskSync.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <sys/stat.h>
#include <unistd.h>

using primary::DiskSync;

class TestDiskSync : public QObject {
    Q_OBJECT
private slots:
    void oncePerSecondPerFile();
    void slowSyncHoldsNobodyUp();
    void firstFailureOfARunIsReported();
    void pendingSyncedAtTheEnd();
    void ownTimerSyncs();
    void defaultSyncOnFiles();
};

namespace {

// Every sync asked for, in order (on the sync thread), and the one-shot timer as the test
// drives it. Files in `failing` fail with "Input/output error".
struct Recorder {
    mutable QMutex mutex;
    QStringList syncedList;
    QSet<QString> failing;
    QList<qint64> armedFor;
    std::function<void()> timeout;

    DiskSync::SyncFunction sync()
    {
        return [this](const QString &file) {
            QMutexLocker lock(&mutex);
            syncedList << file;
            return failing.contains(file) ? QStringLiteral("Input/output error") : QString();
        };
    }
    DiskSync::ArmFunction arm()
    {
        return [this](std::chrono::milliseconds delay, std::function<void()> t) {
            armedFor << delay.count();
            timeout = std::move(t);
        };
    }
    void fire() { std::exchange(timeout, {})(); }
    QStringList synced() const
    {
        QMutexLocker lock(&mutex);
        return syncedList;
    }
    QStringList takeSorted()
    {
        QMutexLocker lock(&mutex);
        QStringList list = std::exchange(syncedList, {});
        list.sort();
        return list;
    }
    void setFailing(const QString &file, bool fails)
    {
        QMutexLocker lock(&mutex);
        if (fails)
            failing.insert(file);
        else
            failing.remove(file);
    }
};

} // namespace

// However many records go to however many files within one second, each file is synced once
// when the timer runs out, and the timer is armed once; a quiet second costs nothing.
void TestDiskSync::oncePerSecondPerFile()
{
    Recorder r;
    DiskSync sync(r.sync(), r.arm());
    QVERIFY(!sync.armed());

    for (int i = 0; i < 1000; ++i) {
        sync.written(QStringLiteral("/d/A.txt"));
        if (i % 100 == 0) sync.written(QStringLiteral("/d/B.txt"));
    }
    QCOMPARE(r.armedFor, QList<qint64>{1000});
    QCOMPARE(sync.pendingCount(), 2);
    sync.waitIdle();
    QVERIFY(r.synced().isEmpty()); // nothing is synced before the second is over

    r.fire();
    sync.waitIdle();
    QCOMPARE(r.takeSorted(), (QStringList{"/d/A.txt", "/d/B.txt"}));
    QVERIFY(!sync.armed());

    // A quiet second: the timer is not armed again and nothing is synced.
    sync.syncPending();
    sync.waitIdle();
    QCOMPARE(r.armedFor.size(), 1);
    QVERIFY(r.synced().isEmpty());

    // The next write arms it again and only the file written since is synced.
    sync.written(QStringLiteral("/d/B.txt"));
    sync.written(QStringLiteral("/d/A.txt"));
    sync.written(QStringLiteral("/d/B.txt"));
    QCOMPARE(r.armedFor.size(), 2);
    r.fire();
    sync.waitIdle();
    QCOMPARE(r.takeSorted(), (QStringList{"/d/A.txt", "/d/B.txt"}));
    QCOMPARE(sync.pendingCount(), 0);
}

// A sync that takes long runs on its own thread: the hand-off returns at once and the writer
// goes on. A file handed over again while it still waits is synced once; one handed over while
// its sync runs is synced again afterwards, as it may hold records that sync missed.
void TestDiskSync::slowSyncHoldsNobodyUp()
{
    QSemaphore started, gate;
    std::atomic<bool> blocked = false;
    Recorder r;
    const DiskSync::SyncFunction record = r.sync();
    DiskSync sync(
        [&](const QString &file) {
            if (file == QLatin1String("/d/A.txt") && !r.synced().contains(file)) {
                blocked = true;
                started.release();
                // Bounded, so that a sync on the writer's thread fails the test, not hangs it.
                gate.tryAcquire(1, 30000);
                blocked = false;
            }
            return record(file);
        },
        r.arm());

    sync.written(QStringLiteral("/d/A.txt"));
    r.fire();
    QVERIFY(started.tryAcquire(1, 30000));
    QVERIFY(blocked); // the hand-off has returned while the sync still runs

    sync.written(QStringLiteral("/d/A.txt"));
    sync.written(QStringLiteral("/d/B.txt"));
    r.fire();
    sync.written(QStringLiteral("/d/B.txt"));
    r.fire();
    QVERIFY(blocked);
    gate.release();
    sync.waitIdle();
    QCOMPARE(r.synced().first(), QStringLiteral("/d/A.txt"));
    QCOMPARE(r.takeSorted(), (QStringList{"/d/A.txt", "/d/A.txt", "/d/B.txt"}));
}

// The first failure of a run of failures of one file is reported with its reason, on the
// owner's thread; a file's success ends its run, and other files have runs of their own.
void TestDiskSync::firstFailureOfARunIsReported()
{
    Recorder r;
    DiskSync sync(r.sync(), r.arm());
    QStringList reports;
    const Qt::HANDLE owner = QThread::currentThreadId();
    bool onOwnerThread = true;
    sync.setFailureReport([&](const QString &file, const QString &reason) {
        onOwnerThread = onOwnerThread && QThread::currentThreadId() == owner;
        reports << file + QStringLiteral(": ") + reason;
    });
    const auto second = [&](const QStringList &files) {
        for (const QString &f : files)
            sync.written(f);
        r.fire();
        sync.waitIdle();
        QCoreApplication::processEvents(); // the reports queued by the sync thread
    };

    r.setFailing(QStringLiteral("/d/A.txt"), true);
    r.setFailing(QStringLiteral("/d/B.txt"), true);
    second({"/d/A.txt", "/d/B.txt", "/d/C.txt"});
    second({"/d/A.txt", "/d/B.txt", "/d/C.txt"});
    second({"/d/A.txt"});
    reports.sort();
    QCOMPARE(reports,
             (QStringList{"/d/A.txt: Input/output error", "/d/B.txt: Input/output error"}));
    QVERIFY(onOwnerThread);

    reports.clear();
    r.setFailing(QStringLiteral("/d/A.txt"), false);
    second({"/d/A.txt", "/d/B.txt"}); // A works again, B still fails
    QVERIFY(reports.isEmpty());
    r.setFailing(QStringLiteral("/d/A.txt"), true);
    second({"/d/A.txt", "/d/B.txt"});
    QCOMPARE(reports, QStringList{"/d/A.txt: Input/output error"});
}

// What is written in the last second before the end is synced, not forgotten: the end waits
// for the sync thread.
void TestDiskSync::pendingSyncedAtTheEnd()
{
    Recorder r;
    {
        DiskSync sync(r.sync(), r.arm());
        sync.written(QStringLiteral("/d/A.txt"));
        r.fire();
        sync.waitIdle();
        sync.written(QStringLiteral("/d/A.txt"));
        sync.written(QStringLiteral("/d/C.txt"));
    }
    QCOMPARE(r.synced().first(), QStringLiteral("/d/A.txt"));
    QCOMPARE(r.takeSorted(), (QStringList{"/d/A.txt", "/d/A.txt", "/d/C.txt"}));
}

// With its own timer, a write is synced once the timer runs out in the event loop.
void TestDiskSync::ownTimerSyncs()
{
    Recorder r;
    DiskSync sync(r.sync());
    for (int i = 0; i < 50; ++i)
        sync.written(QStringLiteral("/d/A.txt"));
    QVERIFY(sync.armed());
    QTRY_COMPARE(r.synced(), QStringList{"/d/A.txt"});
    QVERIFY(!sync.armed());
    sync.written(QStringLiteral("/d/A.txt"));
    QTRY_COMPARE(r.synced().size(), 2);
}

void TestDiskSync::defaultSyncOnFiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath("S1.txt");
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("3/14/2014 3:45:12 PM,S1,TC4,1,21.5,C,12.5,psi\r\n");
    }
    QCOMPARE(DiskSync::syncFile(file), QString());

    // Each failure says why.
    QVERIFY(!DiskSync::syncFile(dir.filePath("missing.txt")).isEmpty());
    QVERIFY(!QFileInfo::exists(dir.filePath("missing.txt"))); // nothing is created
    QVERIFY(!DiskSync::syncFile(dir.path()).isEmpty());       // a folder
    QVERIFY(QFile::link(file, dir.filePath("link.txt")));
    QVERIFY(!DiskSync::syncFile(dir.filePath("link.txt")).isEmpty()); // a link is not followed
    const QByteArray fifo = QFile::encodeName(dir.filePath("fifo.txt"));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    // A FIFO with no reader refuses a non-blocking open; it is never waited on.
    QVERIFY(!DiskSync::syncFile(dir.filePath("fifo.txt")).isEmpty());
}

QTEST_GUILESS_MAIN(TestDiskSync)
#include "tst_disksync.moc"
