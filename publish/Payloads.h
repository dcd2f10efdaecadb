#pragma once
// What goes to the broker: the topics and the JSON payloads, built from the typed values the
// links hand over. Pure functions; the schema in docs/mqtt-payloads.schema.json describes them.
#include "primary/Reading.h"
#include "secondary/Pressure.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <optional>

namespace publish {

// One topic level for a station or sensor name: '+', '#', '/', '%' and control characters
// become %2B, %23, %2F, %25 and %XX (the bytes of their UTF-8 form), so that no name can add a
// level or a wildcard.
QByteArray escapeLevel(const QString &name);

QByteArray readingTopic(const QString &station, const QString &sensor);
QByteArray pressureTopic(const QString &station);
QByteArray statusTopic(const QString &station);

// "2026-12-08T09:15:02.125+01:00": local time with milliseconds and the UTC offset.
QByteArray jsonTime(const QDateTime &time);
// A JSON string literal, quotes included.
QByteArray jsonString(const QString &text);
// The shortest text that reads back as `value`; null for none or a value JSON cannot carry.
QByteArray jsonNumber(std::optional<double> value);

// {"time":…,"count":…,"seq":…,"sensor":…,"type":…,"typeNumber":…,"channels":[…],
//  "pressure":…,"pressureUnit":"psi"}
QByteArray readingPayload(const primary::Reading &reading, std::optional<double> pressure);
// {"time":…,"value":…,"unit":"psi"}
QByteArray pressurePayload(const secondary::Pressure &pressure);

} // namespace publish
