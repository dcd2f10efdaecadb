// The primary link on its own, without a window, through real pseudo-terminals: pick, receive,
// count, echo, save, the watchdog and hang-ups, as its signals announce them.
#include "primary/PrimaryLink.h"
#include "serial/TtyDevice.h"
#include "tests/support/Files.h"
#include "tests/support/LinkViews.h"
#include "tests/support/PtyPair.h"

#include <QDir>
#include <QMutex>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

using testsupport::PrimaryView;

class TestPrimaryLink : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void pickReceiveCountAndEcho();
    void noneAndRepickAndRefusedOpen();
    void savingAllAndCurrentReading();
    void saveFailuresAreSaidOnce();
    void recordsReachTheDisk();
    void watchdogArmsAfterFirstLineAndStopsWhenReleased();
    void hangUpAndReturnUnderTheSameNumber();
    void aLineErrorWhoseReopenFailsIsRetried();
    void nothingLostAcrossRandomChunks();

private:
    std::unique_ptr<testsupport::ComDir> comDir;
    std::unique_ptr<testsupport::PtyPair> device;
    std::unique_ptr<QTemporaryDir> data;
    std::unique_ptr<PrimaryLink> link;
    std::unique_ptr<PrimaryView> view;
    QString pressure;
    const QDateTime kNow = QDateTime(QDate(2026, 3, 14), QTime(15, 45, 12));

    QString dataFolder() const { return data->path() + QStringLiteral("/NarwickPanel"); }
    bool pick(const QString &entry)
    {
        if (!view->ports.contains(entry)) return false;
        entry == "none" ? link->close() : link->open(entry.toInt());
        return true;
    }
    // Waits until the link has taken `bytes` more characters into its unfinished line.
    bool consumed(qsizetype pendingBefore, qsizetype bytes)
    {
        return QTest::qWaitFor([&] { return link->pendingLineSize() == pendingBefore + bytes; });
    }
};

void TestPrimaryLink::init()
{
    comDir = std::make_unique<testsupport::ComDir>();
    device = std::make_unique<testsupport::PtyPair>();
    data = std::make_unique<QTemporaryDir>();
    comDir->map(12, device->slavePath());
    link = std::make_unique<PrimaryLink>();
    view = std::make_unique<PrimaryView>(*link);
    link->setDataFolder(dataFolder());
    link->setClock([this] { return kNow; });
    pressure.clear();
    link->setPressureSource([this] { return pressure; });
    link->scan();
    QCOMPARE(view->ports, QStringList({"none", "12"}));
    QCOMPARE(view->log.text(), QStringLiteral("\nCOM scan complete"));
}

void TestPrimaryLink::cleanup()
{
    if (device && device->isValid())
        QCOMPARE(device->readSent(), QByteArray()); // nothing is ever sent to the device
    view.reset();
    link.reset();
    device.reset();
    comDir.reset();
    data.reset();
}

void TestPrimaryLink::pickReceiveCountAndEcho()
{
    QVERIFY(pick(QStringLiteral("12")));
    QVERIFY(link->isOpen());
    QCOMPARE(view->status, QStringLiteral("COM 12: 9600,n,8,1 - Open"));
    QCOMPARE(view->count, 0);
    QCOMPARE(view->log.text(), QString());

    // A line in pieces, a CR at the end of one write and its LF at the start of the next,
    // then three lines at once, an empty line, and lone CR / LF kept as text.
    device->write("R:0,S100,TC4,2,21.5,C,");
    QVERIFY(consumed(0, 22));
    device->write("21.7,C,0\r");
    QVERIFY(consumed(22, 9));
    QCOMPARE(view->count, 0);
    device->write("\nR:0,S7,K,1,5,V\r\nX:0,S8,J,0\r\n\r\n");
    QTRY_COMPARE(view->count, 4);
    QCOMPARE(view->sensorId(), QStringLiteral("S8"));
    QCOMPARE(view->log.text(),
             QStringLiteral("R:0,S100,TC4,2,21.5,C,21.7,C,0\nR:0,S7,K,1,5,V\nX:0,S8,J,0\n\n"));
    // One typed reading per labelled line, with its count, stamped by the link's clock.
    QCOMPARE(view->readings.size(), 3);
    QCOMPARE(view->readings[1].sensorId, QString("S7"));
    QCOMPARE(view->readings[1].channels, (QList<primary::Channel>{{"5", "V", 5.0}}));
    for (qsizetype i = 0; i < 3; ++i) {
        QCOMPARE(view->readings[i].count, i + 1);
        QCOMPARE(view->readings[i].seq, quint64(i + 1));
        QCOMPARE(view->readings[i].time, kNow);
    }

    device->write("a\rb\nc\r\n");
    QTRY_COMPARE(view->count, 5);
    QCOMPARE(link->readingCount(), 5);
    // Windows-1252 bytes become their characters.
    device->write("R:0,\xB5V\x80,T,0\r\n");
    QTRY_COMPARE(view->sensorId(), QStringLiteral("\u00B5V\u20AC"));
    // A huge line is parsed whole but shown in the log up to 4096 characters.
    const QByteArray id(10000, 'x');
    device->write("R:0," + id + ",T,0\r\n");
    QTRY_COMPARE(view->sensorId().size(), 10000);
    const QString last = view->log.text().section(QLatin1Char('\n'), -2, -2);
    QVERIFY(last.startsWith(QStringLiteral("R:0,xxx")));
    QVERIFY2(last.endsWith(QStringLiteral(" [5912 more characters not shown]")),
             qPrintable(last.right(60)));
}

void TestPrimaryLink::noneAndRepickAndRefusedOpen()
{
    QVERIFY(pick(QStringLiteral("12")));
    device->write("R:0,S1,T,0\r\n");
    QTRY_COMPARE(view->count, 1);

    // Re-picking the open port closes and reopens it; the count and log restart.
    QVERIFY(pick(QStringLiteral("12")));
    QVERIFY(link->isOpen());
    QCOMPARE(view->count, 0);
    QCOMPARE(view->log.text(), QString());
    // The count starts again; the sequence of readings goes on.
    device->write("R:0,S2,T,0\r\n");
    QTRY_COMPARE(view->count, 1);
    QCOMPARE(view->readings.last().count, 1);
    QCOMPARE(view->readings.last().seq, quint64(2));

    // "none" while open: the port is released and nothing reopens it.
    QVERIFY(pick(QStringLiteral("none")));
    QVERIFY(!link->isOpen());
    QVERIFY(!link->watchdog().isActive());
    QCOMPARE(view->status, QStringLiteral("COM 12: 9600,n,8,1 - Closed"));
    QCOMPARE(view->count, 0);

    // Another program holds the port: the pick says why in the log, without a dialog.
    int err = 0;
    serial::ExclusivePort holder = serial::openExclusive(device->slavePath(), &err);
    QVERIFY(holder.isOpen());
    QVERIFY(pick(QStringLiteral("12")));
    QVERIFY(!link->isOpen());
    QCOMPARE(view->status, QStringLiteral("COM 12: 9600,n,8,1 - Closed"));
    QCOMPARE(view->count, 0);
    const QString log = view->log.text();
    QVERIFY2(log.startsWith(QStringLiteral("COM 12 could not be opened: ")), qPrintable(log));
    QVERIFY(!log.contains(QLatin1Char('\n')));
    holder.close();
}

void TestPrimaryLink::savingAllAndCurrentReading()
{
    QDir().mkpath(dataFolder());
    QVERIFY(pick(QStringLiteral("12")));
    pressure = QStringLiteral("14.7");
    link->setSaveMode(PrimaryLink::SaveMode::All);
    device->write("R:0,S100,TC4,2,21.5,C,21.7,C,0\r\nR:0,S101,TC4,0\r\nR:0,S100,TC4\r\n"
                  "R:0,S102\r\nnolabel\r\n");
    QTRY_COMPARE(view->count, 5);
    QFile s100(dataFolder() + QStringLiteral("/S100.txt"));
    QVERIFY(s100.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = s100.readAll().split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].endsWith(",S100,TC4,2,21.5,C,21.7,C,14.7,psi\r"));
    QVERIFY(lines[1].endsWith(",S100,TC4,0,14.7,psi\r")); // three fields: one line, not two
    QVERIFY(QFileInfo::exists(dataFolder() + QStringLiteral("/S101.txt")));
    QVERIFY(!QFileInfo::exists(dataFolder() + QStringLiteral("/S102.txt")));

    // Save current reading: one record, with the pressure of that moment, then the choice
    // goes back to "Do not save readings".
    pressure.clear();
    link->setSaveMode(PrimaryLink::SaveMode::Current);
    device->write("nolabel\r\n"); // does not reach the save step: stays armed
    QTRY_COMPARE(view->count, 6);
    QCOMPARE(link->saveMode(), PrimaryLink::SaveMode::Current);
    QCOMPARE(view->saveModeResets, 0);
    device->write("R:0,S103,T,1,1,A\r\nR:0,S103,T,1,2,A\r\n");
    QTRY_COMPARE(view->count, 8);
    QCOMPARE(link->saveMode(), PrimaryLink::SaveMode::None);
    QCOMPARE(view->saveModeResets, 1);
    QFile s103(dataFolder() + QStringLiteral("/S103.txt"));
    QVERIFY(s103.open(QIODevice::ReadOnly));
    const QByteArray one = s103.readAll();
    QCOMPARE(one.count('\n'), 1);
    QVERIFY(one.endsWith(",S103,T,1,1,A,,psi\r\n"));
}

void TestPrimaryLink::saveFailuresAreSaidOnce()
{
    QVERIFY(pick(QStringLiteral("12")));
    link->setSaveMode(PrimaryLink::SaveMode::All);
    // The data folder is missing: said once, not per line.
    device->write("R:0,S1,T,0\r\nR:0,S1,T,0\r\nR:0,S1,T,0\r\n");
    QTRY_COMPARE(view->count, 3);
    const QString log = view->log.text();
    QCOMPARE(log.count(QStringLiteral("R:0,S1,T,0")), 3);
    const int failures = log.split(QLatin1Char('\n')).size() - 3 - 1;
    QCOMPARE(failures, 1);

    // "Save current reading" asked for one reading: each failure is said.
    for (int i = 1; i <= 2; ++i) {
        link->setSaveMode(PrimaryLink::SaveMode::Current);
        device->write("R:0,S1,T,0\r\n");
        QTRY_COMPARE(view->count, 3 + i);
        QCOMPARE(view->log.text().count(QStringLiteral("not saved")), 1 + i);
    }

    // A sensor identifier that cannot name a file is said once as well, and names none.
    QDir().mkpath(dataFolder());
    link->setSaveMode(PrimaryLink::SaveMode::All);
    device->write("R:0,a/b,T,0\r\nR:0,a/b,T,0\r\n");
    QTRY_COMPARE(view->count, 7);
    QCOMPARE(view->log.text().count(QStringLiteral("cannot name a file")), 1);
    QCOMPARE(testsupport::tree(data->path()), QStringList{"NarwickPanel/"});
}

// Every file written to is synced once a second however many records it takes, for several
// sensors; a failing sync is said once per run of failures; and what was saved is synced at
// once when saving is turned off. The syncs and the timer are the test's.
void TestPrimaryLink::recordsReachTheDisk()
{
    QMutex mutex;
    QStringList synced;            // by the sync thread
    QString failing;               // the file whose sync fails
    std::function<void()> timeout; // the armed one-second timer
    int armed = 0;
    link->setDiskSync(
        [&](const QString &file) {
            QMutexLocker lock(&mutex);
            synced << QFileInfo(file).fileName();
            return !failing.isEmpty() && file.endsWith(failing)
                       ? QStringLiteral("Input/output error")
                       : QString();
        },
        [&](std::chrono::milliseconds delay, std::function<void()> t) {
            QCOMPARE(delay.count(), 1000);
            ++armed;
            timeout = std::move(t);
        });
    // The link lets go of this test's sync function before the function's state is gone.
    const auto restore = qScopeGuard([&] { link->setDiskSync({}, {}); });
    const auto takeSynced = [&] {
        link->waitForDiskSync();
        QMutexLocker lock(&mutex);
        QStringList list = std::exchange(synced, {});
        list.sort();
        return list;
    };
    const auto second = [&](const QByteArray &lines, int count) {
        device->write(lines);
        QTRY_COMPARE(view->count, count);
        QVERIFY(timeout);
        std::exchange(timeout, {})();
    };

    QDir().mkpath(dataFolder());
    QVERIFY(pick(QStringLiteral("12")));
    device->write("R:0,S1,T,1,1,C\r\n"); // not saved: nothing to sync
    QTRY_COMPARE(view->count, 1);
    QCOMPARE(armed, 0);
    link->setSaveMode(PrimaryLink::SaveMode::All);
    second("R:0,S1,T,1,1,C\r\nR:0,S2,T,1,1,C\r\nR:0,S1,T,1,2,C\r\nR:0,S3,T,1,1,C\r\n"
           "R:0,S1,T,1,3,C\r\nR:0,S2,T,1,2,C\r\n",
           7);
    QCOMPARE(armed, 1);
    QCOMPARE(takeSynced(), (QStringList{"S1.txt", "S2.txt", "S3.txt"}));

    // S2's syncs fail: said once for the run, with the system's reason.
    {
        QMutexLocker lock(&mutex);
        failing = QStringLiteral("/S2.txt");
    }
    // Each sync is waited for: a hand-off still waiting would take the next one with it.
    second("R:0,S2,T,1,5,C\r\n", 8);
    QCOMPARE(takeSynced(), QStringList{"S2.txt"});
    second("R:0,S2,T,1,6,C\r\n", 9);
    QCOMPARE(takeSynced(), QStringList{"S2.txt"});
    const QString said = QStringLiteral("Readings saved to %1/S2.txt could not be flushed to the "
                                        "disk: Input/output error.")
                             .arg(dataFolder());
    QTRY_VERIFY2(view->log.text().contains(said), qPrintable(view->log.text()));
    QCOMPARE(view->log.text().count(QStringLiteral("could not be flushed")), 1);

    // Saving turned off: what was saved since the last sync is synced at once.
    device->write("R:0,S3,T,1,2,C\r\nR:0,S1,T,1,4,C\r\n");
    QTRY_COMPARE(view->count, 11);
    QCOMPARE(armed, 4);
    link->setSaveMode(PrimaryLink::SaveMode::None);
    QCOMPARE(takeSynced(), (QStringList{"S1.txt", "S3.txt"}));
    timeout = {};
    device->write("R:0,S3,T,1,3,C\r\n");
    QTRY_COMPARE(view->count, 12);
    QCOMPARE(armed, 4);
}

void TestPrimaryLink::watchdogArmsAfterFirstLineAndStopsWhenReleased()
{
    link->setWatchdogInterval(150);
    QVERIFY(pick(QStringLiteral("12")));
    QVERIFY(!link->watchdog().isActive()); // idle before the first line
    device->write("R:0,S1,T,0\r\n");
    QTRY_VERIFY(link->watchdog().isActive());
    // After silence it reopens the port and keeps the link working.
    QSignalSpy ticks(&link->watchdog(), &QTimer::timeout);
    QVERIFY(ticks.wait());
    QVERIFY(link->isOpen());
    device->write("R:0,S2,T,0\r\n");
    QTRY_COMPARE(view->sensorId(), QStringLiteral("S2"));

    // A port the user released stays closed.
    QVERIFY(pick(QStringLiteral("none")));
    QVERIFY(!link->watchdog().isActive());
    QVERIFY(!link->isOpen());
    // And a rescan that closed the port does not leave the watchdog running either.
    QVERIFY(pick(QStringLiteral("12")));
    device->write("R:0,S3,T,0\r\n");
    QTRY_VERIFY(link->watchdog().isActive());
    link->rescan();
    QVERIFY(!link->watchdog().isActive());
    QVERIFY(!link->isOpen());
    QCOMPARE(view->log.text(),
             QStringLiteral("Scanning available COM hardware...\nCOM scan complete"));
}

// The device hangs up and returns under the same COM number, again and again, the first time
// before any line came: each hang-up lets the port and its lock go and is said once, on a line
// of its own; while the device is away the watchdog tries the port quietly; once it is back the
// port opens by itself, and the line the hang-up cut in two is joined, so that every reading
// reaches its file in order.
void TestPrimaryLink::hangUpAndReturnUnderTheSameNumber()
{
    constexpr int Visits = 10;
    QDir().mkpath(dataFolder());
    link->setWatchdogInterval(50);
    QVERIFY(pick(QStringLiteral("12")));
    link->setSaveMode(PrimaryLink::SaveMode::All);
    QVERIFY(!link->watchdog().isActive()); // the watchdog's own rule: idle before a first line
    QSignalSpy ticks(&link->watchdog(), &QTimer::timeout);
    for (int i = 0; i < Visits; ++i) {
        const QString lockFile = comDir->locks().lockFile(device->slavePath());
        QVERIFY(QFile::exists(lockFile));
        comDir->unmap(12); // the device node is gone while it is away
        device->hangUp();
        QTRY_VERIFY(!link->isOpen());
        QVERIFY(!QFile::exists(lockFile));
        QCOMPARE(view->status, QStringLiteral("COM 12: 9600,n,8,1 - Closed"));
        const QString log = view->log.text();
        QCOMPARE(log.count(QStringLiteral("went away")), i + 1);
        ticks.clear();
        QTRY_VERIFY(ticks.count() >= 3);
        QVERIFY(!link->isOpen());
        QCOMPARE(view->log.text(), log);

        device = std::make_unique<testsupport::PtyPair>();
        comDir->map(12, device->slavePath());
        QTRY_VERIFY(link->isOpen());
        QCOMPARE(view->status, QStringLiteral("COM 12: 9600,n,8,1 - Open"));
        // The end of the line cut by the last hang-up, a whole reading, and a cut one.
        const QByteArray n = QByteArray::number(i);
        device->write(QByteArray(i ? ",C\r\n" : "") + "R:0,S1,T,1," + n + ",C\r\nR:0,S2,T,1," + n);
        QTRY_COMPARE(view->count, 2 * i + 1);
        const QString joined = i ? QStringLiteral("R:0,S2,T,1,%1,C\n").arg(i - 1) : QString();
        QVERIFY2(view->log.text().endsWith(
                     QStringLiteral("; the port is closed until the device returns\n%1"
                                    "R:0,S1,T,1,%2,C\n")
                         .arg(joined)
                         .arg(i)),
                 qPrintable(view->log.text()));
    }
    device->write(",C\r\n");
    QTRY_COMPARE(view->count, 2 * Visits);
    for (const char *id : {"S1", "S2"}) {
        const QStringList lines =
            testsupport::records(dataFolder() + u'/' + QLatin1String(id) + ".txt");
        QCOMPARE(lines.size(), Visits);
        for (int i = 0; i < Visits; ++i)
            QVERIFY2(lines[i].endsWith(
                         QStringLiteral(",%1,T,1,%2,C,,psi").arg(QLatin1String(id)).arg(i)),
                     qPrintable(lines[i]));
    }
}

void TestPrimaryLink::aLineErrorWhoseReopenFailsIsRetried()
{
    // A line error resets the port. When the device is not there to reopen, that is said, and
    // the watchdog tries again until it is back, also before a first line.
    link->setWatchdogInterval(50);
    QVERIFY(pick(QStringLiteral("12")));
    comDir->unmap(12);
    link->overrunForTest();
    QVERIFY(!link->isOpen());
    QVERIFY(link->watchdog().isActive());
    QCOMPARE(view->status, QStringLiteral("COM 12: 9600,n,8,1 - Closed"));
    QVERIFY2(view->log.text().endsWith(
                 QStringLiteral("; the port is closed until the device returns\n")),
             qPrintable(view->log.text()));
    comDir->map(12, device->slavePath());
    QTRY_VERIFY(link->isOpen());
    QCOMPARE(view->status, QStringLiteral("COM 12: 9600,n,8,1 - Open"));
    device->write("R:0,S1,T,1,5,C\r\n");
    QTRY_COMPARE(view->count, 1);
}

void TestPrimaryLink::nothingLostAcrossRandomChunks()
{
    QDir().mkpath(dataFolder());
    QVERIFY(pick(QStringLiteral("12")));
    link->setSaveMode(PrimaryLink::SaveMode::All);
    pressure = QStringLiteral("1");
    constexpr int Lines = 100000;
    QByteArray stream;
    for (int i = 0; i < Lines; ++i)
        stream += "R:0,S" + QByteArray::number(i % 3) + ",T,1," + QByteArray::number(i) + ",C\r\n";
    // The test plays the device in the link's own thread: write what the pty takes, in
    // random chunk sizes, and let the link read between writes.
    QRandomGenerator rng(42);
    qsizetype at = 0;
    QElapsedTimer guard;
    guard.start();
    while (at < stream.size() && guard.elapsed() < 120000) {
        const qsizetype n = qMin<qsizetype>(1 + rng.bounded(4000), stream.size() - at);
        const ssize_t written = ::write(device->masterFd(), stream.constData() + at, n);
        if (written > 0) at += written;
        QCoreApplication::processEvents();
    }
    QCOMPARE(at, stream.size());
    QTRY_COMPARE_WITH_TIMEOUT(view->count, 32767, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(view->log.raw.endsWith(QStringLiteral("R:0,S0,T,1,99999,C\r\n")),
                             60000);
    QCOMPARE(view->log.raw.count(QStringLiteral("\r\n")), Lines);
    QCOMPARE(link->readingCount(), 32767);
    for (int s = 0; s < 3; ++s) {
        QFile f(dataFolder() + QStringLiteral("/S%1.txt").arg(s));
        QVERIFY(f.open(QIODevice::ReadOnly));
        int expected = s;
        int count = 0;
        while (!f.atEnd()) {
            const QByteArray line = f.readLine();
            const QByteArray want = ",S" + QByteArray::number(s) + ",T,1," +
                                    QByteArray::number(expected) + ",C,1,psi\r\n";
            if (!line.endsWith(want))
                QFAIL(qPrintable(QStringLiteral("S%1 line %2: %3")
                                     .arg(s)
                                     .arg(count)
                                     .arg(QString::fromLatin1(line))));
            expected += 3;
            ++count;
        }
        QCOMPARE(count, (Lines - s + 2) / 3);
    }
}

QTEST_GUILESS_MAIN(TestPrimaryLink)
#include "tst_primarylink.moc"
