#include "primary/GeneralDate.h"

#include "primary/ReadingsFile.h"

namespace primary {

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == QChar(0x00A0) || c == QChar(0x202F);
}

// Calls `run(start, length, letter)` for each run of one pattern letter outside quotes.
template <typename Run> void forEachPatternRun(const QString &format, Run run)
{
    bool quoted = false;
    qsizetype i = 0;
    while (i < format.size()) {
        const QChar c = format[i];
        if (c == u'\'') {
            quoted = !quoted;
            ++i;
            continue;
        }
        qsizetype j = i + 1;
        if (!quoted && c.isLetter()) {
            while (j < format.size() && format[j] == c)
                ++j;
            run(i, j - i, c);
        }
        i = j;
    }
}

// The short date with a four-digit year.
QString fourDigitYear(const QString &format)
{
    QString out = format;
    qsizetype shift = 0;
    forEachPatternRun(format, [&](qsizetype start, qsizetype length, QChar letter) {
        if (letter == u'y' && length == 2) {
            out.insert(start + shift, QStringLiteral("yy"));
            shift += 2;
        }
    });
    return out;
}

// The long time without its time-zone part and the blanks or brackets around it.
QString withoutZone(const QString &format)
{
    QString out = format;
    for (;;) {
        qsizetype at = -1, length = 0;
        forEachPatternRun(out, [&](qsizetype start, qsizetype n, QChar letter) {
            if (letter == u't' && at < 0) {
                at = start;
                length = n;
            }
        });
        if (at < 0) break;
        qsizetype from = at, to = at + length;
        while (from > 0 &&
               (isBlank(out[from - 1]) || out[from - 1] == u'(' || out[from - 1] == u'['))
            --from;
        while (to < out.size() && (isBlank(out[to]) || out[to] == u')' || out[to] == u']'))
            ++to;
        const bool between = from > 0 && to < out.size();
        out.replace(from, to - from, between ? QStringLiteral(" ") : QString());
    }
    return out.trimmed();
}

} // namespace

GeneralDate::GeneralDate(const QLocale &locale)
    : m_locale(locale), m_dateFormat(fourDigitYear(locale.dateFormat(QLocale::ShortFormat))),
      m_timeFormat(withoutZone(locale.timeFormat(QLocale::LongFormat))),
      m_dateTimeFormat(m_dateFormat + u' ' + m_timeFormat)
{
}

QString GeneralDate::format(const QDateTime &when) const
{
    // Whole seconds decide: a stamp within the first second of the day is the date alone.
    const QTime time = when.time();
    if (time.hour() == 0 && time.minute() == 0 && time.second() == 0)
        return m_locale.toString(when.date(), m_dateFormat);
    return m_locale.toString(when, m_dateTimeFormat);
}

QString GeneralDate::recordStamp(const QDateTime &when) const
{
    if (std::optional<QString> stamp = recordSafe(format(when))) return *std::move(stamp);
    static const GeneralDate usForm{QLocale(QLocale::English, QLocale::UnitedStates)};
    // Newer locale data puts a narrow no-break space before AM/PM even in en_US.
    return recordSafe(usForm.format(when)).value_or(QString());
}

} // namespace primary
