// Trend window benchmarks, run by hand (bench/README.md):
//   np_trendbench render [--points N] [--repeat R]   one picture of N points ("All"), ms
//   np_trendbench collect [--lines N]                 cost of a reading, window closed, ns
//   np_trendbench nominal [--seconds S]               10 readings/s + 8 pressure changes/s:
//                                                     CPU with the window closed, then open on
//                                                     10 min
#include "app/trend/TrendPlot.h"
#include "app/trend/TrendWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace {

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

qint64 arg(const QStringList &args, const QString &name, qint64 fallback)
{
    const qsizetype i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args[i + 1].toLongLong() : fallback;
}

primary::Reading reading(int i, const QDateTime &when = QDateTime())
{
    const double t = i / 50.0;
    primary::Reading r =
        *primary::parseReading(QStringLiteral("R:0,S100,TC4,3,%1,C,%2,C,%3,C,0\r\n")
                                   .arg(21 + std::sin(t), 0, 'f', 2)
                                   .arg(22 + std::cos(t * 0.7), 0, 'f', 2)
                                   .arg(20 + std::sin(t * 0.3) * 2, 0, 'f', 2));
    r.time = when;
    return r;
}

secondary::Pressure pressure(const QDateTime &when, double value)
{
    return {when, value, QString::number(value), QString::number(value)};
}

// Fills the window with `points` points: per step one reading (3 channels) and one pressure.
void fill(trend::TrendWindow &w, qint64 points)
{
    const QDateTime start = QDateTime::currentDateTime().addSecs(-points / 40);
    std::vector<primary::Reading> readings;
    for (int i = 0; i < 256; ++i)
        readings.push_back(reading(i));
    for (qint64 i = 0; i * 4 < points; ++i) {
        const QDateTime when = start.addMSecs(i * 100);
        primary::Reading r = readings[size_t(i % 256)];
        r.time = when;
        w.addReading(r);
        w.addPressure(pressure(when, 14.7 + std::sin(i / 300.0) * 0.2));
    }
}

int render(const QStringList &args)
{
    const qint64 points = arg(args, "--points", 1'000'000);
    const int repeat = int(arg(args, "--repeat", 20));
    trend::TrendWindow w;
    fill(w, points);
    w.spanButtons()->button(3)->setChecked(true); // all since start
    w.resize(900, 540);
    w.show();
    QCoreApplication::processEvents();
    const QSize size = w.plot()->size();
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    std::vector<double> ms;
    for (int i = 0; i < repeat; ++i) {
        QElapsedTimer t;
        t.start();
        QPainter p(&image);
        w.plot()->render(p, size);
        p.end();
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::vector<double> dec;
    trend::Picture picture;
    const auto [t0, t1] = w.plot()->timeSpan();
    for (int i = 0; i < repeat; ++i) {
        QElapsedTimer t;
        t.start();
        w.model().decimate(0, t0, t1, size.width() - 160, true, picture);
        dec.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(dec.begin(), dec.end());
    std::printf("decimate alone: median %.2f ms, min %.2f ms\n", dec[dec.size() / 2], dec.front());
    std::printf("render: %lld points, all in the picture, %dx%d: median %.2f ms, "
                "min %.2f ms, max %.2f ms (%d pictures)\n",
                qint64(w.model().pointCount()), size.width(), size.height(), ms[ms.size() / 2],
                ms.front(), ms.back(), repeat);
    image.save(QStringLiteral("np_trendbench-render.png"));
    return 0;
}

int collect(const QStringList &args)
{
    const qint64 lines = arg(args, "--lines", 2'000'000);
    trend::TrendWindow w; // never shown
    std::vector<primary::Reading> readings;
    for (int i = 0; i < 256; ++i)
        readings.push_back(reading(i));
    const QDateTime start = QDateTime::currentDateTime();
    std::vector<QDateTime> times;
    for (int i = 0; i < 1000; ++i)
        times.push_back(start.addMSecs(i * 100));
    const double cpu0 = cpuSeconds();
    QElapsedTimer t;
    t.start();
    for (qint64 i = 0; i < lines; ++i) {
        primary::Reading &r = readings[size_t(i % 256)];
        r.time = times[size_t(i % 1000)].addSecs(i / 1000 * 100);
        w.addReading(r);
    }
    const double ns = double(t.nsecsElapsed()) / double(lines);
    std::printf("collect: %lld readings (3 channels each), window closed: %.0f ns per reading, "
                "%.2f CPU s; %lld points held, %lld dropped; pictures built: %d\n",
                lines, ns, cpuSeconds() - cpu0, qint64(w.model().pointCount()),
                qint64(w.model().droppedCount()), w.plot()->buildCount());
    return 0;
}

int nominal(QApplication &app, const QStringList &args)
{
    const int seconds = int(arg(args, "--seconds", 60));
    trend::TrendWindow w;
    fill(w, 20'000); // some history
    int i = 0;
    QTimer readings, pressure;
    QObject::connect(&readings, &QTimer::timeout, &w,
                     [&] { w.addReading(reading(i++, QDateTime::currentDateTime())); });
    QObject::connect(&pressure, &QTimer::timeout, &w, [&] {
        w.addPressure(pressure(QDateTime::currentDateTime(), 14.7 + std::sin(i / 30.0) * 0.2));
    });
    readings.start(100);
    pressure.start(125);

    auto phase = [&](const char *what) {
        const double cpu0 = cpuSeconds();
        const int builds0 = w.plot()->buildCount();
        QElapsedTimer t;
        t.start();
        QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
        app.exec();
        const double cpu = cpuSeconds() - cpu0;
        std::printf("nominal, %s: %.3f %% of a core over %d s; %d pictures built\n", what,
                    100.0 * cpu / (double(t.elapsed()) / 1000.0), seconds,
                    w.plot()->buildCount() - builds0);
        return cpu;
    };
    phase("window closed");
    w.resize(900, 540);
    w.openWindow();
    phase("window open on 10 min");
    w.showMinimized();
    phase("window minimised");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    if (mode == QLatin1String("render")) return render(args);
    if (mode == QLatin1String("collect")) return collect(args);
    if (mode == QLatin1String("nominal")) return nominal(app, args);
    std::fprintf(stderr, "usage: np_trendbench render|collect|nominal [options]\n");
    return 2;
}
