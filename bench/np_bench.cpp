// In-process benchmark of the whole window: the real frmMain on the offscreen platform, its
// start-up, its port picks and its "Save all readings" option, fed through pseudo-terminals by
// writer threads that play the instrument and the gauge.
//
//   np_bench throughput [--lines N] [--no-stall]   flood COM 7, Save all; lines/s, CPU, stall,
//                                                   lines lost (file lines counted), RSS
//   np_bench nominal [--seconds S] [--rate R] [--no-gauge] [--no-save] [--paints]
//                    [--no-paint all|NAME,...]      R (10) lines/s instrument + 8 lines/s gauge,
//                                                   Save all; CPU %, latency median/p99;
//                                                   --paints counts paint events per widget,
//                                                   --no-paint leaves those widgets unpainted
//   np_bench repaint [--widget NAME] [--lines N]   CPU to set and paint one new box text
//   np_bench idle [--seconds S]                     both ports open and silent; CPU %
//   np_bench secondary [--seconds S]                the gauge alone: silent, then 9600 bit/s
//   np_bench startup [--ptys N] [--scoped]          main() to the window exposed, both scans
//                                                   done (N mapped ptys; 0 = default table;
//                                                   --scoped: each scan in one ProbeScope)
//   np_bench probe [--ptys N]                       the scans' probes alone over N mapped ptys,
//                                                   with and without one serial::ProbeScope
//
// Each run lives in a private temporary HOME, runtime directory and COM directory. CPU is the
// process's user+system time minus what the writer threads used themselves.
#include "app/DisplayBox.h"
#include "app/LogView.h"
#include "app/frmMain.h"
#include "primary/PrimaryLink.h"
#include "secondary/SecondaryLink.h"
#include "serial/PortProbe.h"
#include "serial/Wsc32.h"
#include "tools/sim/Pseudoterminal.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPaintEvent>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double processCpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec) + double(ru.ru_utime.tv_usec) / 1e6 +
           double(ru.ru_stime.tv_sec) + double(ru.ru_stime.tv_usec) / 1e6;
}

// Resident set in KiB.
long rssKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// One pseudo-terminal the bench plays the device on; the slave is published as COM n.
struct Pty {
    int master = -1;
    QString slave;
    explicit Pty(const QString &comDir, int com)
    {
        std::string path;
        master = pty::openMaster(false, &path);
        if (master < 0) {
            std::perror("posix_openpt");
            std::exit(2);
        }
        slave = QString::fromStdString(path);
        pty::publishLink(
            path, QFile::encodeName(comDir + QStringLiteral("/com%1").arg(com)).toStdString());
    }
    ~Pty()
    {
        if (master >= 0) ::close(master);
    }
    bool writeAll(const char *data, size_t size) const
    {
        while (size > 0) {
            const ssize_t n = ::write(master, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            size -= size_t(n);
        }
        return true;
    }
    // Throws away whatever the program might have sent (it must send nothing); returns bytes.
    size_t drainSent() const
    {
        const int flags = fcntl(master, F_GETFL);
        fcntl(master, F_SETFL, flags | O_NONBLOCK);
        size_t total = 0;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            total += size_t(n);
        }
        fcntl(master, F_SETFL, flags);
        return total;
    }
};

// The line of reading `seq`: two sensors in turn, two channels; channel 1 carries the number.
std::string readingLine(qint64 seq)
{
    char buf[96];
    const int n = std::snprintf(buf, sizeof buf, "R:0,S%d,TC4,2,%lld,C,21.7,C,0\r\n",
                                100 + int(seq % 2), static_cast<long long>(seq));
    return std::string(buf, size_t(n));
}

struct World {
    QTemporaryDir root{QDir::tempPath() + QStringLiteral("/np-bench-XXXXXX")};
    QString comDir;
    QString dataFolder;
    World(bool mapComDir, bool makeData = true)
    {
        const QString r = root.path();
        qputenv("HOME", r.toLocal8Bit());
        QDir(r).mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(r + QStringLiteral("/runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", (r + QStringLiteral("/runtime")).toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (r + QStringLiteral("/config")).toLocal8Bit());
        comDir = r + QStringLiteral("/com");
        QDir(r).mkpath(QStringLiteral("com"));
        // The program's UUCP lock files go to a private folder, not the machine's /run/lock.
        QDir(r).mkpath(QStringLiteral("lock"));
        qputenv("NARWICKPANEL_LOCK_DIRS", (r + QStringLiteral("/lock")).toLocal8Bit());
        if (mapComDir)
            qputenv("NARWICKPANEL_COM_DIR", comDir.toLocal8Bit());
        else
            qunsetenv("NARWICKPANEL_COM_DIR");
        dataFolder = r + QStringLiteral("/Documents/Brindlecast/NarwickPanel");
        if (makeData) QDir().mkpath(dataFolder);
    }
};

bool pick(QComboBox *box, const QString &entry)
{
    const int i = box->findText(entry);
    if (i < 0) return false;
    box->setCurrentIndex(i);
    emit box->activated(i);
    return true;
}

// The longest gap between ticks of a 1 ms timer: the longest time the event loop was held.
// The window thread's own CPU time across each gap is kept as well: on a busy machine a gap
// may be the thread waiting for a core rather than a handler working.
struct StallMeter {
    QTimer timer;
    qint64 last = 0;
    double lastCpu = 0;
    qint64 maxGap = 0;
    double maxCpuGap = 0;
    void start()
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(1);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 t = nowNs();
            const double c = threadCpuSeconds();
            if (last) {
                maxGap = std::max(maxGap, t - last);
                maxCpuGap = std::max(maxCpuGap, c - lastCpu);
            }
            last = t;
            lastCpu = c;
        });
        last = 0;
        timer.start();
    }
    void stop() { timer.stop(); }
};

// Shown-time hook: channel 1's box carries the sequence number of the newest line shown.
struct ShownHook {
    std::unique_ptr<std::atomic<qint64>[]> written; // ns after the line's last byte went out
    std::vector<qint64> latency; // ns, per line; touched up front so it adds nothing to RSS
    qint64 lastShown = -1;
    qint64 total = 0;
    std::function<void(qint64)> onShown;
    explicit ShownHook(qint64 n) : written(new std::atomic<qint64>[size_t(n)]), total(n)
    {
        for (qint64 i = 0; i < n; ++i)
            written[size_t(i)].store(0, std::memory_order_relaxed);
        latency.assign(size_t(n), 0);
        latency.clear(); // keeps the touched capacity
    }
    void attach(DisplayBox *box)
    {
        QObject::connect(box, &DisplayBox::textChanged, [this](const QString &text) {
            const qint64 t = nowNs();
            bool ok = false;
            const qint64 seq = text.section(u' ', 0, 0).toLongLong(&ok);
            if (!ok || seq < 0 || seq >= total || seq <= lastShown) return;
            for (qint64 i = lastShown + 1; i <= seq; ++i) {
                const qint64 w = written[size_t(i)].load(std::memory_order_acquire);
                if (w) latency.push_back(t - w);
            }
            lastShown = seq;
            if (onShown) onShown(seq);
        });
    }
};

double percentile(std::vector<qint64> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t k = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    return double(v[k]) / 1e6;
}

// Reads every readings file and checks each sequence number came exactly once, in order.
struct FileCheck {
    qint64 lines = 0;
    qint64 missing = 0;
    qint64 duplicates = 0;
    qint64 outOfOrder = 0;
    qint64 malformed = 0;
};

FileCheck checkFiles(const QString &folder, qint64 sent)
{
    FileCheck r;
    std::vector<unsigned char> seen(size_t(sent), 0);
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*.txt")}, QDir::Files)) {
        QFile f(folder + u'/' + name);
        if (!f.open(QIODevice::ReadOnly)) continue;
        const QByteArray all = f.readAll();
        qint64 previous = -1;
        qsizetype pos = 0;
        while (pos < all.size()) {
            qsizetype end = all.indexOf("\r\n", pos);
            if (end < 0) {
                ++r.malformed;
                break;
            }
            const QByteArray line = all.mid(pos, end - pos);
            pos = end + 2;
            ++r.lines;
            // stamp may hold commas? It does not: "M/D/YYYY h:mm:ss AP". Field 5 is channel 1.
            const QList<QByteArray> f5 = line.split(',');
            bool ok = false;
            const qint64 seq = f5.size() > 4 ? f5[4].toLongLong(&ok) : -1;
            if (!ok || seq < 0 || seq >= sent) {
                ++r.malformed;
                continue;
            }
            if (seen[size_t(seq)]++) ++r.duplicates;
            if (seq <= previous) ++r.outOfOrder;
            previous = seq;
        }
    }
    for (unsigned char s : seen)
        if (!s) ++r.missing;
    return r;
}

struct Options {
    QString mode;
    qint64 lines = 1000000;
    int seconds = 60;
    int ptys = 30;
    bool stall = true;
    bool save = true;
    bool gauge = true;
    bool paints = false;
    bool scoped = false; // startup: each scan inside one serial::ProbeScope
    QString widget;
    QStringList noPaint;
    int prefill = 0;
    double rate = 10.0;
    int chunk = 4096;
};

Options parse(const QStringList &args)
{
    Options o;
    if (args.size() > 1) o.mode = args[1];
    for (int i = 2; i < args.size(); ++i) {
        const QString a = args[i];
        const QString v = i + 1 < args.size() ? args[i + 1] : QString();
        if (a == QLatin1String("--lines"))
            o.lines = v.toLongLong(), ++i;
        else if (a == QLatin1String("--seconds"))
            o.seconds = v.toInt(), ++i;
        else if (a == QLatin1String("--ptys"))
            o.ptys = v.toInt(), ++i;
        else if (a == QLatin1String("--chunk"))
            o.chunk = v.toInt(), ++i;
        else if (a == QLatin1String("--scoped"))
            o.scoped = true;
        else if (a == QLatin1String("--no-stall"))
            o.stall = false;
        else if (a == QLatin1String("--no-save"))
            o.save = false;
        else if (a == QLatin1String("--no-gauge"))
            o.gauge = false;
        else if (a == QLatin1String("--widget"))
            o.widget = v, ++i;
        else if (a == QLatin1String("--no-paint"))
            o.noPaint = v.split(QLatin1Char(','), Qt::SkipEmptyParts), ++i;
        else if (a == QLatin1String("--prefill"))
            o.prefill = v.toInt(), ++i;
        else if (a == QLatin1String("--paints"))
            o.paints = true;
        else if (a == QLatin1String("--rate"))
            o.rate = v.toDouble(), ++i;
    }
    return o;
}

// Starts the window as the program does and waits until it is exposed.
std::unique_ptr<frmMain> startWindow()
{
    auto w = std::make_unique<frmMain>();
    if (!w->Form_Load()) {
        std::fprintf(stderr, "Form_Load refused (lock)\n");
        std::exit(2);
    }
    w->show();
    QElapsedTimer t;
    t.start();
    while (!(w->windowHandle() && w->windowHandle()->isExposed()) && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::processEvents();
    return w;
}

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// ---------------------------------------------------------------------------------------------

int throughput(const Options &o)
{
    World world(true);
    Pty inst(world.comDir, 7);
    auto w = startWindow();
    if (!pick(w->ctl.cboPort, QStringLiteral(" 7"))) {
        std::fprintf(stderr, "COM 7 not in the list\n");
        return 2;
    }
    w->ctl.optSave[1]->click();
    if (w->primary->saveMode() != PrimaryLink::SaveMode::All) {
        std::fprintf(stderr, "Save all did not take\n");
        return 2;
    }

    const qint64 n = o.lines;
    ShownHook hook(n);
    long rss10k = -1;
    long rssStart = rssKiB();
    QEventLoop done;
    hook.onShown = [&](qint64 seq) {
        if (rss10k < 0 && seq >= 9999) rss10k = rssKiB();
        if (seq == n - 1) done.quit();
    };
    hook.attach(w->ctl.txtChannel[1]);
    StallMeter stall;
    if (o.stall) stall.start();

    std::atomic<double> writerCpu{0};
    const double cpu0 = processCpuSeconds();
    const qint64 t0 = nowNs();
    std::thread writer([&] {
        std::string block;
        block.reserve(size_t(o.chunk) + 64);
        std::vector<qint64> pending;
        for (qint64 i = 0; i < n; ++i) {
            block += readingLine(i);
            pending.push_back(i);
            if (block.size() >= size_t(o.chunk) || i == n - 1) {
                if (!inst.writeAll(block.data(), block.size())) break;
                const qint64 t = nowNs();
                for (qint64 k : pending)
                    hook.written[size_t(k)].store(t, std::memory_order_release);
                pending.clear();
                block.clear();
            }
        }
        writerCpu = threadCpuSeconds();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &done, &QEventLoop::quit);
    guard.start(int(std::max<qint64>(60000, n / 20))); // gives up below 20 lines/s
    done.exec();
    const qint64 t1 = nowNs();
    writer.join();
    stall.stop();
    const double cpu = processCpuSeconds() - cpu0 - writerCpu;
    const long rssEnd = rssKiB();

    const FileCheck check = checkFiles(world.dataFolder, n);
    const size_t sentBack = inst.drainSent();
    const double secs = double(t1 - t0) / 1e9;
    std::printf("throughput: lines %lld, wall %.3f s, %.0f lines/s\n", static_cast<long long>(n),
                secs, double(hook.lastShown + 1) / secs);
    std::printf("cpu: program %.3f s (writer thread %.3f s excluded), %.2f s per million lines, "
                "%.2f us per line\n",
                cpu, double(writerCpu), cpu * 1e6 / double(n), cpu * 1e6 / double(n));
    if (o.stall)
        std::printf("longest event-loop stall: %.1f ms wall (1 ms timer); most CPU the window "
                    "thread spent between two ticks: %.1f ms\n",
                    double(stall.maxGap) / 1e6, stall.maxCpuGap * 1e3);
    std::printf("file lines %lld, missing %lld, duplicates %lld, out of order %lld, malformed "
                "%lld => lines lost %lld\n",
                static_cast<long long>(check.lines), static_cast<long long>(check.missing),
                static_cast<long long>(check.duplicates), static_cast<long long>(check.outOfOrder),
                static_cast<long long>(check.malformed), static_cast<long long>(check.missing));
    std::printf("rss: start %ld KiB, after 10,000 lines %ld KiB, after %lld lines %ld KiB, "
                "growth %+.1f MB\n",
                rssStart, rss10k, static_cast<long long>(n), rssEnd,
                double(rssEnd - rss10k) / 1024.0);
    std::printf("latency under flood (write-to-shown): median %.1f ms, p99 %.1f ms\n",
                percentile(hook.latency, 0.5), percentile(hook.latency, 0.99));
    std::printf("panel 3 count %d; bytes the program sent to the device: %zu\n",
                w->primary->readingCount(), sentBack);
    return check.missing == 0 && check.duplicates == 0 && check.malformed == 0 ? 0 : 1;
}

// Writes lines at a fixed rate until `stop`; each line's write time is recorded.
void pacedWriter(const Pty &pty, double perSecond, const std::atomic<bool> &stop,
                 std::function<std::string(qint64)> line, ShownHook *hook, qint64 limit,
                 std::atomic<double> *cpuOut)
{
    const auto period = std::chrono::nanoseconds(qint64(1e9 / perSecond));
    auto next = Clock::now();
    for (qint64 i = 0; !stop && i < limit; ++i) {
        std::this_thread::sleep_until(next);
        next += period;
        const std::string s = line(i);
        // Stamped just before the write: the program may take the line before write() returns.
        // The figure so includes the write call itself (a few microseconds).
        if (hook) hook->written[size_t(i)].store(nowNs(), std::memory_order_release);
        if (!pty.writeAll(s.data(), s.size())) break;
    }
    *cpuOut = threadCpuSeconds();
}

// Counts paint events per widget and the area they cover, to see what a load repaints.
class PaintCensus : public QObject {
public:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() == QEvent::Paint && o->isWidgetType()) {
            const QRect r = static_cast<QPaintEvent *>(e)->rect();
            QString name = o->objectName();
            if (name.isEmpty()) name = QString::fromLatin1(o->metaObject()->className());
            if (o->parent() && !o->parent()->objectName().isEmpty())
                name = o->parent()->objectName() + QLatin1Char('/') + name;
            auto &c = counts[name];
            c.first += 1;
            c.second += qint64(r.width()) * r.height();
        }
        return false;
    }
    void print(double secs) const
    {
        std::vector<std::pair<QString, std::pair<qint64, qint64>>> v(counts.begin(), counts.end());
        std::sort(v.begin(), v.end(),
                  [](const auto &a, const auto &b) { return a.second.first > b.second.first; });
        for (const auto &[name, c] : v)
            std::printf("  paints %-40s %7.2f /s  %9.0f px/s\n", qPrintable(name),
                        double(c.first) / secs, double(c.second) / secs);
    }
    std::map<QString, std::pair<qint64, qint64>> counts;
};

int nominal(const Options &o, bool silent)
{
    World world(true);
    Pty inst(world.comDir, 7);
    Pty gauge(world.comDir, 8);
    auto w = startWindow();
    if (!pick(w->ctl.cboPort, QStringLiteral(" 7")) ||
        (o.gauge && !pick(w->ctl.cboStepperPort, QStringLiteral("8")))) {
        std::fprintf(stderr, "ports not in the lists\n");
        return 2;
    }
    if (o.save) w->ctl.optSave[1]->click();
    // A log already holding its bound of lines, as after the first quarter hour of a long run.
    for (int i = 0; i < o.prefill; ++i)
        w->ctl.txtIncoming->appendText(
            QStringLiteral("\r\nR:0,S%1,TC4,1,21.5,C,0").arg(100 + i % 3));
    runFor(1000); // settle

    const qint64 limit = qint64(double(o.seconds) * o.rate) + 100;
    ShownHook hook(limit);
    hook.attach(w->ctl.txtChannel[1]);
    std::atomic<bool> stop{false};
    std::atomic<double> cpuA{0}, cpuB{0};
    PaintCensus census;
    if (o.paints) qApp->installEventFilter(&census);
    // Attribution: the widgets named here (or "all") are never painted during the run.
    for (const QString &n : o.noPaint) {
        QWidget *x = n == QLatin1String("all") ? w.get() : w->findChild<QWidget *>(n);
        if (!x) {
            std::fprintf(stderr, "no widget %s\n", qPrintable(n));
            return 2;
        }
        x->setUpdatesEnabled(false);
    }
    const double cpu0 = processCpuSeconds();
    const qint64 t0 = nowNs();
    std::thread a, b;
    if (!silent) {
        a = std::thread(pacedWriter, std::cref(inst), o.rate, std::cref(stop), readingLine, &hook,
                        limit, &cpuA);
        if (o.gauge)
            b = std::thread(
                pacedWriter, std::cref(gauge), 8.0, std::cref(stop),
                [](qint64 i) {
                    char buf[32];
                    const int n =
                        std::snprintf(buf, sizeof buf, "P:%.2f,psi\r\n", 14.0 + (i % 100) / 100.0);
                    return std::string(buf, size_t(n));
                },
                nullptr, qint64(1) << 40, &cpuB);
    }
    runFor(o.seconds * 1000);
    stop = true;
    if (a.joinable()) a.join();
    if (b.joinable()) b.join();
    const qint64 t1 = nowNs();
    const double cpu = processCpuSeconds() - cpu0 - cpuA - cpuB;
    const double secs = double(t1 - t0) / 1e9;
    runFor(200);
    std::printf(
        "%s: %.1f s, program CPU %.3f s = %.3f %% of a core\n",
        silent ? "idle (both ports open, silent)"
               : qPrintable(QStringLiteral("load (instrument %1 lines/s%2%3)")
                                .arg(o.rate)
                                .arg(o.gauge ? QStringLiteral(" + gauge 8 lines/s") : QString())
                                .arg(o.save ? QStringLiteral(", Save all")
                                            : QStringLiteral(", not saving"))),
        secs, cpu, 100.0 * cpu / secs);
    if (o.paints) census.print(secs);
    if (!silent) {
        const FileCheck check = checkFiles(world.dataFolder, hook.lastShown + 1);
        std::printf("lines shown %lld, file lines %lld, missing %lld; pressure box \"%s\"\n",
                    static_cast<long long>(hook.lastShown + 1), static_cast<long long>(check.lines),
                    static_cast<long long>(check.missing), qPrintable(w->ctl.txtPressure->text()));
        std::printf("latency (last byte written -> boxes): median %.2f ms, p99 %.2f ms, max %.2f "
                    "ms over %zu lines\n",
                    percentile(hook.latency, 0.5), percentile(hook.latency, 0.99),
                    percentile(hook.latency, 1.0), hook.latency.size());
    }
    std::printf("rss %ld KiB; bytes sent to the devices: %zu\n", rssKiB(),
                inst.drainSent() + gauge.drainSent());
    return 0;
}

int secondaryOnly(const Options &o)
{
    World world(true);
    Pty gauge(world.comDir, 8);
    auto w = startWindow();
    if (!pick(w->ctl.cboStepperPort, QStringLiteral("8"))) {
        std::fprintf(stderr, "COM 8 not in the secondary list\n");
        return 2;
    }
    runFor(1000);
    double cpu0 = processCpuSeconds();
    qint64 t0 = nowNs();
    runFor(o.seconds * 1000);
    double cpu = processCpuSeconds() - cpu0;
    double secs = double(nowNs() - t0) / 1e9;
    std::printf("secondary idle (port open, silent): %.1f s, CPU %.3f s = %.3f %% of a core\n",
                secs, cpu, 100.0 * cpu / secs);

    // 9600 bit/s, 10 bits a character: 960 characters/s of "P:xx.xx,psi" CR LF (13 each).
    std::atomic<bool> stop{false};
    std::atomic<double> cpuW{0};
    const double rate = 960.0 / 13.0;
    cpu0 = processCpuSeconds();
    t0 = nowNs();
    std::thread b(
        pacedWriter, std::cref(gauge), rate, std::cref(stop),
        [](qint64 i) {
            char buf[32];
            const int n =
                std::snprintf(buf, sizeof buf, "P:%.2f,psi\r\n", 14.0 + (i % 100) / 100.0);
            return std::string(buf, size_t(n));
        },
        nullptr, qint64(1) << 40, &cpuW);
    runFor(o.seconds * 1000);
    stop = true;
    b.join();
    cpu = processCpuSeconds() - cpu0 - cpuW;
    secs = double(nowNs() - t0) / 1e9;
    runFor(300);
    std::printf("secondary at 9600 bit/s (%.1f lines/s): %.1f s, CPU %.3f s = %.3f %% of a core; "
                "pressure box \"%s\"; sent to device %zu bytes\n",
                rate, secs, cpu, 100.0 * cpu / secs, qPrintable(w->ctl.txtPressure->text()),
                gauge.drainSent());
    return 0;
}

// The cost of showing one new text in one box: set, then paint, as a receive event does.
int repaint(const Options &o)
{
    World world(false);
    auto w = startWindow();
    const QString name = o.widget.isEmpty() ? QStringLiteral("txtPressure") : o.widget;
    auto *box = w->findChild<DisplayBox *>(name);
    if (!box) return 2;
    const qint64 n = std::min<qint64>(o.lines, 100000);
    const double cpu0 = threadCpuSeconds();
    for (qint64 i = 0; i < n; ++i) {
        box->setText(QString::number(14.0 + double(i % 100) / 100.0));
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
    const double cpu = threadCpuSeconds() - cpu0;
    std::printf("%s: %lld new texts shown, %.1f us of CPU each\n", qPrintable(name), n,
                1e6 * cpu / double(n));
    return 0;
}

int startup(const Options &o, qint64 mainEntryNs)
{
    // Environment first (part of the harness, not of the program): excluded from the figure.
    World world(o.ptys > 0);
    std::vector<std::unique_ptr<Pty>> ptys;
    for (int i = 1; i <= o.ptys; ++i)
        ptys.push_back(std::make_unique<Pty>(world.comDir, i));
    // --scoped: what the scans cost once each runs inside one ProbeScope (one pass over /proc).
    const auto scope = [&o] { return o.scoped ? std::make_unique<serial::ProbeScope>() : nullptr; };
    const qint64 t0 = nowNs();
    frmMain w;
    const qint64 t1 = nowNs();
    {
        const auto s = scope();
        w.primary->scan(); // timed alone; Form_Load scans again, as the program does
    }
    const qint64 t2 = nowNs();
    {
        const auto s = scope();
        w.secondary->scan();
    }
    const qint64 t3 = nowNs();
    {
        const auto s = scope();
        if (!w.Form_Load()) return 2;
    }
    const qint64 t4 = nowNs();
    w.show();
    QElapsedTimer e;
    e.start();
    while (!(w.windowHandle() && w.windowHandle()->isExposed()) && e.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::processEvents();
    const qint64 t5 = nowNs();
    auto d = [](qint64 a, qint64 b) { return double(b - a) / 1e6; };
    std::printf(
        "start-up (%s): frmMain %.1f ms + Form_Load (both scans) %.1f ms + show until "
        "exposed and painted %.1f ms = %.1f ms; QApplication before it %.1f ms. "
        "Separately: primary scan %.1f ms, secondary scan %.1f ms. Entries %d primary, "
        "%d secondary\n",
        o.ptys > 0 ? qPrintable(QStringLiteral("%1 mapped ptys").arg(o.ptys)) : "default COM table",
        d(t0, t1), d(t3, t4), d(t4, t5), d(t0, t1) + d(t3, t5), d(mainEntryNs, t0), d(t1, t2),
        d(t2, t3), w.ctl.cboPort->count() - 1, w.ctl.cboStepperPort->count() - 1);
    return 0;
}

// The scans' probes alone over N mapped ptys: every COM number probed once without and once
// inside a serial::ProbeScope (one pass over /proc), and the secondary list's open-and-close of
// each library port; the best of 5 rounds each.
int probe(const Options &o)
{
    World world(true);
    std::vector<std::unique_ptr<Pty>> ptys;
    for (int i = 1; i <= o.ptys; ++i)
        ptys.push_back(std::make_unique<Pty>(world.comDir, i));
    const auto best = [](auto &&round) {
        double ms = 1e9;
        for (int r = 0; r < 5; ++r) {
            const qint64 t0 = nowNs();
            round();
            ms = std::min(ms, double(nowNs() - t0) / 1e6);
        }
        return ms;
    };
    int held = 0;
    const auto probeAll = [&] {
        held = 0;
        for (int n = 1; n <= o.ptys; ++n)
            held += serial::probeCom(n) == serial::ProbeResult::Held;
    };
    const double unscoped = best(probeAll);
    const double scoped = best([&] {
        serial::ProbeScope scope;
        probeAll();
    });
    const auto openAll = [&] {
        for (int i = 0; i < o.ptys; ++i)
            if (wsc::SioReset(i, 512, 512) == 0) wsc::SioDone(i);
    };
    const double opens = best(openAll);
    const double opensScoped = best([&] {
        serial::ProbeScope scope;
        openAll();
    });
    int processes = 0;
    for (const QString &e : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
        processes += e.toInt() > 0;
    std::printf("%d mapped ptys, %d processes, %d held: probeCom of each %.1f ms, in one "
                "ProbeScope %.1f ms; SioReset+SioDone of each %.1f ms, in one ProbeScope %.1f ms\n",
                o.ptys, processes, held, unscoped, scoped, opens, opensScoped);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const qint64 entry = nowNs();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const Options o = parse(app.arguments());
    if (o.mode == QLatin1String("throughput")) return throughput(o);
    if (o.mode == QLatin1String("nominal")) return nominal(o, false);
    if (o.mode == QLatin1String("idle")) return nominal(o, true);
    if (o.mode == QLatin1String("secondary")) return secondaryOnly(o);
    if (o.mode == QLatin1String("startup")) return startup(o, entry);
    if (o.mode == QLatin1String("repaint")) return repaint(o);
    if (o.mode == QLatin1String("probe")) return probe(o);
    std::fprintf(
        stderr,
        "usage: np_bench throughput|nominal|idle|secondary|startup|repaint|probe [--lines N] "
        "[--seconds S] [--ptys N] [--chunk BYTES] [--no-stall]\n");
    return 2;
}
