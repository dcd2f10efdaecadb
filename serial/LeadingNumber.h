#pragma once
// The leading-number rule both devices' texts are read by: the gauge's pressure and zero, and
// the value of an instrument channel.
#include <QLocale>
#include <QStringView>
#include <optional>

namespace serial {

// The leading-number rule: spaces, tabs and line feeds are skipped anywhere; then an optional
// sign, digits with at most one "." and an optional exponent (E or e, sign, digits); reading
// stops at the first character that does not fit. &H and &O prefixes read hexadecimal and
// octal integers. "." is always the decimal point. No number gives 0.
double leadingNumber(QStringView text);

// The leading-number rule for a number an operator typed as the window shows numbers under
// `locale`: the locale's decimal separator is a decimal point too, so "12,5" is 12.5 where the
// separator is a comma. "." keeps working everywhere; group separators are not read.
double leadingNumber(QStringView text, const QLocale &locale);

// Whether the leading-number rule finds a number at all: at least one digit (of its base after
// &H or &O). Tells a real 0 from "no number".
bool hasLeadingNumber(QStringView text);

// The number `text` starts with as a value: none when there is no number, or when it is too
// large for a double.
std::optional<double> leadingValue(QStringView text);

} // namespace serial
