#include "secondary/Pressure.h"

#include "secondary/Numbers.h"

#include <cmath>

namespace secondary {

namespace {

// The label ends at the first ":". Its position is held in a 16-bit signed integer, so a first
// ":" at 1-based position 32767 or later counts as not found and the line is ignored.
bool StripLabel(QString &text)
{
    const qsizetype colon = text.indexOf(u':');
    if (colon < 0 || colon + 1 >= 32767) return false;
    text.remove(0, colon + 1);
    return true;
}

} // namespace

PressureUpdate SmallStream(QString &Message, const QString &zeroText, const QLocale &locale)
{
    PressureUpdate update;
    if (!StripLabel(Message)) return update;
    update.labelled = true;

    // Nothing after the label gives no fields: RawPressure and the pressure keep their text.
    if (Message.isEmpty()) return update;

    const qsizetype comma = Message.indexOf(u',');
    const QString first = comma < 0 ? Message : Message.left(comma);
    update.rawPressure = first;

    const double difference = leadingNumber(first) - leadingNumber(zeroText);
    if (std::isfinite(difference)) update.pressureText = numberText(difference, locale);
    return update;
}

} // namespace secondary
