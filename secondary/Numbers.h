#pragma once
// Number rules of the pressure link.
#include "serial/LeadingNumber.h"

#include <QLocale>
#include <QString>
#include <QStringView>

namespace secondary {

// The leading-number rule lives with the serial layer, as the instrument's channels are read
// by it too.
using serial::hasLeadingNumber;
using serial::leadingNumber;

// The text form of a number: rounded to 15 significant digits, no trailing zeros, no decimal
// separator for whole values, a 0 before the separator below 1, exponent form (1E+20) for very
// large and very small magnitudes, the locale's decimal separator. Empty for a value that is
// not finite.
QString numberText(double value, const QLocale &locale = QLocale::system());

// Sign-position form: one blank before values of 0 or more ("7" -> " 7", -5 -> "-5").
QString signPosition(qint64 value);

} // namespace secondary
