// Records reach the disk: the sync policy seen through an injected sync function and timer,
// and the default sync on real files.
#include "primary/DiskSync.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using primary::DiskSync;

class TestDiskSync : public QObject {
    Q_OBJECT
private slots:
    void oncePerSecondPerFile();
    void pendingSyncedAtTheEnd();
    void ownTimerSyncs();
    void defaultSyncOnFiles();
};

namespace {

// Every sync asked for, in order, and every time the timer was armed.
struct Recorder {
    QStringList synced;
    QList<qint64> armedFor;
    DiskSync::SyncFunction sync()
    {
        return [this](const QString &file) {
            synced << file;
            return file != QLatin1String("gone");
        };
    }
    DiskSync::ArmFunction arm()
    {
        return [this](std::chrono::milliseconds delay) { armedFor << delay.count(); };
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
    QVERIFY(r.synced.isEmpty()); // nothing is synced before the second is over
    QCOMPARE(sync.pendingCount(), 2);

    QCOMPARE(sync.syncPending(), 0); // the timer runs out
    r.synced.sort();
    QCOMPARE(r.synced, (QStringList{"/d/A.txt", "/d/B.txt"}));
    QVERIFY(!sync.armed());

    // A quiet second: the timer is not armed again and nothing is synced.
    QCOMPARE(r.armedFor.size(), 1);
    QCOMPARE(sync.syncPending(), 0);
    QCOMPARE(r.synced.size(), 2);

    // The next write arms it again and only the file written since is synced.
    r.synced.clear();
    sync.written(QStringLiteral("/d/B.txt"));
    sync.written(QStringLiteral("gone"));
    sync.written(QStringLiteral("/d/B.txt"));
    QCOMPARE(r.armedFor.size(), 2);
    QCOMPARE(sync.syncPending(), 1); // the file that could not be synced is counted
    r.synced.sort();
    QCOMPARE(r.synced, (QStringList{"/d/B.txt", "gone"}));
    QCOMPARE(sync.pendingCount(), 0);
}

// What is written in the last second before saving stops is synced, not forgotten.
void TestDiskSync::pendingSyncedAtTheEnd()
{
    Recorder r;
    {
        DiskSync sync(r.sync(), r.arm());
        sync.written(QStringLiteral("/d/A.txt"));
        sync.written(QStringLiteral("/d/C.txt"));
    }
    r.synced.sort();
    QCOMPARE(r.synced, (QStringList{"/d/A.txt", "/d/C.txt"}));
}

// With its own timer, a write is synced once the timer runs out in the event loop.
void TestDiskSync::ownTimerSyncs()
{
    Recorder r;
    DiskSync sync(r.sync());
    for (int i = 0; i < 50; ++i)
        sync.written(QStringLiteral("/d/A.txt"));
    QVERIFY(sync.armed());
    QTRY_COMPARE(r.synced, QStringList{"/d/A.txt"});
    QVERIFY(!sync.armed());
    sync.written(QStringLiteral("/d/A.txt"));
    QTRY_COMPARE(r.synced.size(), 2);
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
    QVERIFY(DiskSync::syncFile(file));

    QVERIFY(!DiskSync::syncFile(dir.filePath("missing.txt")));
    QVERIFY(!QFileInfo::exists(dir.filePath("missing.txt"))); // nothing is created
    QVERIFY(!DiskSync::syncFile(dir.path()));                 // a folder
    QVERIFY(QFile::link(file, dir.filePath("link.txt")));
    QVERIFY(!DiskSync::syncFile(dir.filePath("link.txt"))); // a link is not followed
    const QByteArray fifo = QFile::encodeName(dir.filePath("fifo.txt"));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    QVERIFY(!DiskSync::syncFile(dir.filePath("fifo.txt"))); // and it does not block
}

QTEST_GUILESS_MAIN(TestDiskSync)
#include "tst_disksync.moc"
