// What syncing the readings files costs: records appended as the save step appends them
// (appendRecord, opened and closed for every record), with and without DiskSync telling the
// disk to keep them (fdatasync at most once a second per file).
//
//   np_syncbench flood [--lines N] [--files F] [--dir PATH]   as fast as records can be
//                                                             appended, in batches of 100
//                                                             between event-loop passes
//   np_syncbench rate [--rate R] [--seconds S] [--files F] [--dir PATH] [--delay MS]
//                                                             R lines/s (10) for S s (20)
//
// --delay MS makes every sync wait MS milliseconds first: a slow disk (a busy or failing one,
// a network file system). Rate mode also prints the longest event-loop stall: the longest gap
// between ticks of a 1 ms precise QTimer, which is how long a window on that thread would
// freeze.
//
// Each mode runs without and then with the sync and prints lines, wall seconds, CPU seconds
// (user + system of the process) and CPU seconds per million lines, and for the sync the number
// of fdatasync calls and their longest wall time. The files go in a temporary folder under
// PATH (default: the current folder; /tmp may be a RAM file system where a sync does nothing).
#include "primary/DiskSync.h"
#include "primary/ReadingsFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

namespace {

double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct Options {
    QString mode = QStringLiteral("flood");
    qint64 lines = 200000;
    int files = 1;
    int rate = 10;
    int seconds = 20;
    int delayMs = 0;
    QString dir = QDir::currentPath();
};

struct Result {
    qint64 lines = 0;
    double wall = 0;
    double cpu = 0;
    int syncs = 0;
    double longestSync = 0;
    double longestStall = 0;
};

QString recordFor(qint64 n)
{
    return QStringLiteral("3/14/2014 3:45:12 PM,S%1,TC4,2,21.5,C,21.7,C,12.5,psi").arg(n);
}

// Appends records in the mode chosen, with or without DiskSync, in a fresh folder.
Result run(const Options &o, bool withSync)
{
    QTemporaryDir dir(o.dir + QStringLiteral("/np_syncbench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "np_syncbench: cannot make a folder in %s\n", qPrintable(o.dir));
        std::exit(1);
    }
    Result r;
    // Runs on the sync thread; `r` is read once waitIdle() has returned.
    primary::DiskSync sync([&](const QString &file) {
        QElapsedTimer syncClock;
        syncClock.start();
        if (o.delayMs > 0) QThread::msleep(static_cast<unsigned long>(o.delayMs));
        QString reason = primary::DiskSync::syncFile(file);
        r.longestSync = std::max(r.longestSync, double(syncClock.nsecsElapsed()) / 1e9);
        ++r.syncs;
        return reason;
    });

    QStringList ids;
    for (int f = 0; f < o.files; ++f)
        ids << QStringLiteral("S%1").arg(f + 1);

    qint64 n = 0;
    auto append = [&] {
        const QString &id = ids[int(n % ids.size())];
        if (!primary::appendRecord(dir.path(), id, recordFor(n)).ok) {
            std::fprintf(stderr, "np_syncbench: append failed\n");
            std::exit(1);
        }
        if (withSync) sync.written(dir.path() + u'/' + id + QStringLiteral(".txt"));
        ++n;
    };

    QElapsedTimer wall;
    wall.start();
    const double cpu0 = cpuSeconds();
    if (o.mode == QLatin1String("flood")) {
        while (n < o.lines) {
            for (int i = 0; i < 100 && n < o.lines; ++i)
                append();
            QCoreApplication::processEvents();
        }
    } else {
        const qint64 total = qint64(o.rate) * o.seconds;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        tick.setInterval(1000 / std::max(1, o.rate));
        QObject::connect(&tick, &QTimer::timeout, [&] {
            append();
            if (n >= total) {
                tick.stop();
                QCoreApplication::quit();
            }
        });
        // The longest gap between ticks of a 1 ms timer: how long the thread's loop froze.
        QElapsedTimer sinceTick;
        QTimer stallTick;
        stallTick.setTimerType(Qt::PreciseTimer);
        stallTick.setInterval(1);
        QObject::connect(&stallTick, &QTimer::timeout, [&] {
            r.longestStall = std::max(r.longestStall, double(sinceTick.nsecsElapsed()) / 1e9);
            sinceTick.start();
        });
        tick.start();
        sinceTick.start();
        stallTick.start();
        QCoreApplication::exec();
    }
    sync.syncPending(); // what the last second wrote, as when saving stops
    sync.waitIdle();
    r.cpu = cpuSeconds() - cpu0;
    r.wall = double(wall.nsecsElapsed()) / 1e9;
    r.lines = n;
    return r;
}

void print(const char *name, const Result &r, bool withSync)
{
    std::printf("%-12s lines %8lld  wall %7.2f s  %9.0f lines/s  CPU %7.3f s  CPU/Mline %8.2f s",
                name, static_cast<long long>(r.lines), r.wall, double(r.lines) / r.wall, r.cpu,
                r.cpu / double(r.lines) * 1e6);
    if (withSync) std::printf("  syncs %d  longest sync %.1f ms", r.syncs, r.longestSync * 1e3);
    if (r.longestStall > 0) std::printf("  longest stall %.1f ms", r.longestStall * 1e3);
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options o;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args[i];
        const auto value = [&] {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "np_syncbench: %s needs a value\n", qPrintable(a));
                std::exit(2);
            }
            return args[++i];
        };
        if (i == 1 && !a.startsWith(u'-'))
            o.mode = a;
        else if (a == QLatin1String("--lines"))
            o.lines = value().toLongLong();
        else if (a == QLatin1String("--files"))
            o.files = std::max(1, value().toInt());
        else if (a == QLatin1String("--rate"))
            o.rate = std::max(1, value().toInt());
        else if (a == QLatin1String("--seconds"))
            o.seconds = std::max(1, value().toInt());
        else if (a == QLatin1String("--delay"))
            o.delayMs = std::max(0, value().toInt());
        else if (a == QLatin1String("--dir"))
            o.dir = value();
        else {
            std::fprintf(stderr, "np_syncbench: unknown option %s\n", qPrintable(a));
            return 2;
        }
    }
    if (o.mode != QLatin1String("flood") && o.mode != QLatin1String("rate")) {
        std::fprintf(stderr, "np_syncbench: mode is flood or rate\n");
        return 2;
    }
    print("no sync", run(o, false), false);
    print("DiskSync", run(o, true), true);
    return 0;
}
