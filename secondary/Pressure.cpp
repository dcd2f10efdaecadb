#include "secondary/Pressure.h"

#include "secondary/Numbers.h"
#include "serial/Label.h"

#include <cmath>

namespace secondary {

PressureUpdate SmallStream(QString &Message, const QString &zeroText, const QLocale &locale)
{
    PressureUpdate update;
    // A line whose first ":" is out of reach counts as having no label: it is ignored.
    if (serial::stripLabel(Message) != serial::LabelEnd::Stripped) return update;
    update.labelled = true;

    // Nothing after the label gives no fields: RawPressure and the pressure keep their text.
    if (Message.isEmpty()) return update;

    const qsizetype comma = Message.indexOf(u',');
    const QString first = comma < 0 ? Message : Message.left(comma);
    update.rawPressure = first;

    // A first field without any number ("P:,psi", "P:nan") is no pressure the gauge measured.
    if (!hasLeadingNumber(first)) {
        update.notComputable = true;
        return update;
    }
    const double difference = leadingNumber(first) - leadingNumber(zeroText, locale);
    if (!std::isfinite(difference)) {
        update.notComputable = true;
        return update;
    }
    update.value = difference;
    update.pressureText = numberText(difference, locale);
    update.recordText = numberText(difference, QLocale::c());
    return update;
}

} // namespace secondary
