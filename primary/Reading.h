#pragma once
// Parsing one instrument line (Datastream's pure part): label, fields, boxes, record line.
#include <QDateTime>
#include <QString>
#include <QStringView>
#include <array>
#include <optional>

namespace primary {

// Removes everything up to and including the first ":" and says whether there was one.
// A first ":" at position 32,767 or later (1-based) is not found (the position is 16 bits).
bool StripLabel(QString &text);

// The ordinary numeric-text-to-16-bit-integer conversion: blanks around, a sign and a decimal
// point allowed; halves round to even; empty text, a lone blank, a lone sign, a letter or a
// value out of range fails (nullopt).
std::optional<qint16> toInteger16(QStringView text);

// What one line does to the reading pane and the record. Boxes not set keep their text.
struct Reading {
    bool labelled = false;             // a ":" was found: the line is parsed (and may be saved)
    std::optional<QString> sensorId;   // txtSensorID
    std::optional<QString> sensorType; // txtSensorType ("TC4  (2)")
    std::array<std::optional<QString>, 11> channel; // txtChannel(1..9); [0] and [10] never set
    // The length of the first item in channel[k] (the box joins the two items with one blank
    // and the first item may hold blanks itself): the value is channel[k]->first(valueLength[k]),
    // the unit what follows the joining blank.
    std::array<qint32, 11> valueLength{};
    qint16 typeNumber = 0;
    qint16 channelCount = 0;
    // The record line without pressure, ",psi" and terminator: stamp, id, type, type number,
    // then each complete channel pair, each followed by ",". Empty when the first four
    // positions could not be built (fewer than three fields after the label): not written.
    QString record;
    bool recordComplete = false;
};

// Parses `message` (which may end in CR LF; the terminator is part of no field) with the
// time stamp `stamp`.
Reading parseReading(QStringView message, const QString &stamp);

} // namespace primary
