#pragma once
// Parsing one instrument line (Datastream's pure part) into the typed reading the link hands to
// every sink.
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringView>
#include <optional>

namespace primary {

// One channel of a reading: its two items exactly as received (either may hold blanks), and
// the number the first item starts with by the leading-number rule, or none.
struct Channel {
    QString text;
    QString unit;
    std::optional<double> value;
    bool operator==(const Channel &) const = default;
};

// One labelled instrument line, parsed once and stamped once by the link's clock when the line
// was handled. Every sink (the boxes, the log, the record files, the trend, the broker) takes
// this value; none of them parses the line's text again. A field the line did not carry is
// absent: its box keeps its text.
struct Reading {
    QDateTime time;
    qint16 count = 0; // "Reading #" once this line is counted (it stops at 32767)
    quint64 seq = 0;  // 1 for the run's first reading, then one more each; it never stops
    std::optional<QString> sensorId;
    std::optional<QString> sensorType; // the type's own text, without the type number
    qint16 typeNumber = 0;
    qint16 channelCount = 0; // the count the line declares (0 to 9)
    QList<Channel> channels; // the complete pairs, channel 1 first
    // A record can be made: the line has a sensor identifier and a sensor type.
    bool recordable() const { return sensorType.has_value(); }
    bool operator==(const Reading &) const = default;
};

// Removes everything up to and including the first ":" and says whether there was one.
// A first ":" at position 32,767 or later (1-based) is not found (the position is 16 bits).
bool StripLabel(QString &text);

// The ordinary numeric-text-to-16-bit-integer conversion: blanks around, a sign and a decimal
// point allowed; halves round to even; empty text, a lone blank, a lone sign, a letter or a
// value out of range fails (nullopt).
std::optional<qint16> toInteger16(QStringView text);

// The value of a channel's first item by the leading-number rule: none without a number, or
// when the number is too large for a double.
std::optional<double> channelValue(QStringView item);

// Parses `message` (which may end in CR LF; the terminator is part of no field). None when the
// line has no ":" label; the reading's time, count and seq are the link's to set.
std::optional<Reading> parseReading(QStringView message);

} // namespace primary

Q_DECLARE_METATYPE(primary::Reading)
