#pragma once
// SmallStream's pure part: one pressure line, such as "P:14.70,psi" + CR LF.
#include <QDateTime>
#include <QLocale>
#include <QMetaType>
#include <QString>
#include <optional>

namespace secondary {

// A new pressure of the gauge, stamped by the gauge link's clock. `value` is the pressure after
// the zero in psi; none when the gauge is gone or the line's pressure cannot be computed.
struct Pressure {
    QDateTime time;
    std::optional<double> value;
    QString rawText;    // the line's first field exactly as received (RawPressure)
    QString recordText; // as a record carries it: "." as the decimal separator; empty for none
    bool operator==(const Pressure &) const = default;
};

struct PressureUpdate {
    bool labelled = false;               // the line had a ":" label
    std::optional<QString> rawPressure;  // new RawPressure (first field, exactly as received)
    std::optional<QString> pressureText; // new txtPressure text, in the locale's form
    // The same pressure as a record writes it: "." as the decimal separator whatever the
    // locale, so that it stays one field of the comma-separated record. Set with pressureText.
    std::optional<QString> recordText;
    std::optional<double> value; // the pressure after the zero; set with pressureText
    // The line has a first field, but no pressure can be computed from it: it holds no number
    // at all ("P:,psi", "P:abc", "P:nan", "P:" with its CR LF), or the number or the difference
    // is out of the double range ("P:1e309", a 400-digit number, a zero of 1e308 with
    // "P:-1e308"). pressureText and recordText are then unset. A line with nothing after its
    // label is not such a line: it leaves the pressure alone.
    bool notComputable = false;
};

// Strips the label from `Message` in place (as StripLabel does), then computes the pressure:
// leading number of the first field minus the leading number of `zeroText`, in text form. A
// first field without a number gives no pressure (notComputable).
// The zero is read as the operator typed it: the locale's decimal separator counts as a point
// beside ".". A line with nothing after the label leaves the pressure unset; a difference that
// is not finite leaves it unset and sets notComputable.
PressureUpdate SmallStream(QString &Message, const QString &zeroText,
                           const QLocale &locale = QLocale::system());

} // namespace secondary

Q_DECLARE_METATYPE(secondary::Pressure)
