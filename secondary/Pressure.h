#pragma once
// SmallStream's pure part: one pressure line, such as "P:14.70,psi" + CR LF.
#include <QLocale>
#include <QString>
#include <optional>

namespace secondary {

struct PressureUpdate {
    bool labelled = false;               // the line had a ":" label
    std::optional<QString> rawPressure;  // new RawPressure (first field, exactly as received)
    std::optional<QString> pressureText; // new txtPressure text
};

// Strips the label from `Message` in place (as StripLabel does), then computes the pressure:
// leading number of the first field minus the leading number of `zeroText`, in text form.
// A line with nothing after the label, or a difference that is not finite, leaves the pressure
// text unset.
PressureUpdate SmallStream(QString &Message, const QString &zeroText,
                           const QLocale &locale = QLocale::system());

} // namespace secondary
