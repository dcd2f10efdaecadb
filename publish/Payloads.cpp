#include "publish/Payloads.h"

#include <QLocale>
#include <cmath>
#include <cstdio>
#include <limits>

namespace publish {

QByteArray escapeLevel(const QString &name)
{
    const QByteArray utf8 = name.toUtf8();
    QByteArray out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f || c == '+' || c == '#' || c == '/' || c == '%') {
            static const char Hex[] = "0123456789ABCDEF";
            out += '%';
            out += Hex[b >> 4];
            out += Hex[b & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

QByteArray readingTopic(const QString &station, const QString &sensor)
{
    return "narwickpanel/" + escapeLevel(station) + "/reading/" + escapeLevel(sensor);
}

QByteArray pressureTopic(const QString &station)
{
    return "narwickpanel/" + escapeLevel(station) + "/pressure";
}

QByteArray statusTopic(const QString &station)
{
    return "narwickpanel/" + escapeLevel(station) + "/status";
}

QByteArray jsonTime(const QDateTime &time)
{
    if (!time.isValid()) return "null";
    // The UTC offset is looked up once per minute of UTC: offsets change only on whole minutes,
    // and the lookup asks the C library's time zone, which checks /etc/localtime each time.
    const qint64 ms = time.toMSecsSinceEpoch();
    const qint64 minute = ms >= 0 ? ms / 60000 : (ms - 59999) / 60000;
    thread_local qint64 cachedMinute = std::numeric_limits<qint64>::min();
    thread_local int cachedOffset = 0;
    if (minute != cachedMinute) {
        cachedOffset =
            QDateTime::fromMSecsSinceEpoch(minute * 60000, Qt::LocalTime).offsetFromUtc();
        cachedMinute = minute;
    }
    const QDateTime local =
        QDateTime::fromMSecsSinceEpoch(ms + qint64(cachedOffset) * 1000, Qt::UTC);
    const QDate d = local.date();
    const QTime t = local.time();
    char buf[40];
    const int minutes = std::abs(cachedOffset) / 60;
    const int n =
        std::snprintf(buf, sizeof buf, "\"%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d\"",
                      d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec(),
                      cachedOffset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return QByteArray(buf, n);
}

QByteArray jsonString(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20) {
            static const char Hex[] = "0123456789abcdef";
            out += "\\u00";
            out += Hex[b >> 4];
            out += Hex[b & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

QByteArray jsonNumber(std::optional<double> value)
{
    if (!value || !std::isfinite(*value)) return "null";
    if (*value == 0) return "0"; // also for -0
    return QByteArray::number(*value, 'g', QLocale::FloatingPointShortest);
}

QByteArray readingPayload(const primary::Reading &r, std::optional<double> pressure)
{
    QByteArray out;
    out.reserve(160 + 48 * r.channels.size());
    out += "{\"time\":" + jsonTime(r.time);
    out += ",\"count\":" + QByteArray::number(r.count);
    out += ",\"seq\":" + QByteArray::number(r.seq);
    out += ",\"sensor\":" + (r.sensorId ? jsonString(*r.sensorId) : QByteArray("null"));
    out += ",\"type\":" + (r.sensorType ? jsonString(*r.sensorType) : QByteArray("null"));
    out += ",\"typeNumber\":" + QByteArray::number(r.typeNumber);
    out += ",\"channels\":[";
    for (qsizetype i = 0; i < r.channels.size(); ++i) {
        const primary::Channel &c = r.channels[i];
        if (i) out += ',';
        out += "{\"text\":" + jsonString(c.text) + ",\"unit\":" + jsonString(c.unit) +
               ",\"value\":" + jsonNumber(c.value) + '}';
    }
    out += "],\"pressure\":" + jsonNumber(pressure);
    out += ",\"pressureUnit\":\"psi\"}";
    return out;
}

QByteArray pressurePayload(const secondary::Pressure &p)
{
    return "{\"time\":" + jsonTime(p.time) + ",\"value\":" + jsonNumber(p.value) +
           ",\"unit\":\"psi\"}";
}

} // namespace publish
