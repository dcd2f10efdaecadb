#pragma once
// Number rules of the pressure link.
#include <QLocale>
#include <QString>
#include <QStringView>

namespace secondary {

// The leading-number rule: spaces, tabs and line feeds are skipped anywhere; then an optional
// sign, digits with at most one "." and an optional exponent (E or e, sign, digits); reading
// stops at the first character that does not fit. &H and &O prefixes read hexadecimal and
// octal integers. "." is always the decimal point. No number gives 0.
double leadingNumber(QStringView text);

// The leading-number rule for a number an operator typed as the window shows numbers under
// `locale`: the locale's decimal separator is a decimal point too, so "12,5" is 12.5 where the
// separator is a comma. "." keeps working everywhere; group separators are not read.
double leadingNumber(QStringView text, const QLocale &locale);

// The text form of a number: rounded to 15 significant digits, no trailing zeros, no decimal
// separator for whole values, a 0 before the separator below 1, exponent form (1E+20) for very
// large and very small magnitudes, the locale's decimal separator. nullopt-free: callers check
// std::isfinite first.
QString numberText(double value, const QLocale &locale = QLocale::system());

// Sign-position form: one blank before values of 0 or more ("7" -> " 7", -5 -> "-5").
QString signPosition(qint64 value);

} // namespace secondary
