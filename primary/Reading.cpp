#include "primary/Reading.h"

#include "serial/Label.h"
#include "serial/LeadingNumber.h"

#include <QList>

#include <algorithm>

namespace primary {

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

bool StripLabel(QString &text)
{
    return serial::stripLabel(text) == serial::LabelEnd::Stripped;
}

std::optional<qint16> toInteger16(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }

    // Magnitude, saturated well above the 16-bit range.
    constexpr qint64 kCap = 1'000'000;
    qint64 whole = 0;
    qsizetype digits = 0;
    while (i < n && isDigit(text[i])) {
        whole = std::min(kCap, whole * 10 + (text[i].unicode() - u'0'));
        ++digits;
        ++i;
    }
    // The fraction decides the rounding: above a half rounds up, a half exactly rounds to even.
    int firstFraction = -1;
    bool restNonZero = false;
    if (i < n && text[i] == u'.') {
        ++i;
        while (i < n && isDigit(text[i])) {
            const int d = text[i].unicode() - u'0';
            if (firstFraction < 0)
                firstFraction = d;
            else if (d != 0)
                restNonZero = true;
            ++digits;
            ++i;
        }
    }
    if (digits == 0) return std::nullopt;
    while (i < n && isBlank(text[i]))
        ++i;
    if (i != n) return std::nullopt;

    if (firstFraction > 5 || (firstFraction == 5 && (restNonZero || whole % 2 == 1))) ++whole;
    const qint64 value = negative ? -whole : whole;
    if (value < -32768 || value > 32767) return std::nullopt;
    return qint16(value);
}

std::optional<double> channelValue(QStringView item)
{
    return serial::leadingValue(item);
}

std::optional<Reading> parseReading(QStringView message)
{
    // The line's own terminator belongs to no field.
    if (message.endsWith(u"\r\n")) message.chop(2);

    QString text = message.toString();
    // A ":" too far into the line cannot be removed; the line is then read whole, label
    // included, as the fields after it would otherwise be lost.
    if (serial::stripLabel(text) == serial::LabelEnd::None) return std::nullopt;

    Reading reading;
    const QList<QStringView> fields = QStringView(text).split(u',');
    const auto has = [&](qsizetype k) { return k < fields.size(); };
    if (has(1)) reading.sensorId = fields[1].toString();
    if (has(2)) reading.sensorType = fields[2].toString();
    if (has(3)) {
        const QStringView field3 = fields[3];
        reading.typeNumber =
            toInteger16(field3.first(std::min<qsizetype>(2, field3.size()))).value_or(0);
        reading.channelCount =
            toInteger16(field3.first(std::min<qsizetype>(1, field3.size()))).value_or(0);
    }
    // Channels are read only where a record can begin. The channel count is one character, so
    // at most nine channels; fields are consecutive, so no pair after an incomplete one is.
    if (!has(2)) return reading;
    const int count = std::clamp<int>(reading.channelCount, 0, 9);
    for (int k = 1; k <= count && has(2 * k + 3); ++k) {
        const QStringView first = fields[2 * k + 2];
        reading.channels.append(
            {first.toString(), fields[2 * k + 3].toString(), channelValue(first)});
    }
    return reading;
}

} // namespace primary
