#include "secondary/Numbers.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace secondary {

// Plain decimal form for decimal exponents from -4 to 14, so every whole number of up to 15
// digits prints in full; exponent form ("1E+20", "1.5E-07") outside that range.
QString numberText(double value, const QLocale &locale)
{
    if (!std::isfinite(value)) return QString();
    if (value == 0) return QStringLiteral("0"); // -0 as well

    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", std::fabs(value));
    // buf: d.dddddddddddddde[+-]XX
    std::string digits;
    digits.push_back(buf[0]);
    const char *p = buf + 2;
    while (*p != 'e')
        digits.push_back(*p++);
    const int exponent = std::atoi(p + 1);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();

    const QString point = locale.decimalPoint();
    QString out;
    if (value < 0) out += u'-';

    const int n = int(digits.size());
    if (exponent >= 15 || exponent < -4) {
        out += QLatin1Char(digits[0]);
        if (n > 1) {
            out += point;
            out += QLatin1StringView(digits.data() + 1, n - 1);
        }
        out += u'E';
        out += exponent < 0 ? u'-' : u'+';
        out += QStringLiteral("%1").arg(std::abs(exponent), 2, 10, QLatin1Char('0'));
    } else if (exponent >= 0) {
        const int whole = exponent + 1;
        if (n <= whole) {
            out += QLatin1StringView(digits.data(), n);
            out += QString(whole - n, u'0');
        } else {
            out += QLatin1StringView(digits.data(), whole);
            out += point;
            out += QLatin1StringView(digits.data() + whole, n - whole);
        }
    } else {
        out += u'0';
        out += point;
        out += QString(-exponent - 1, u'0');
        out += QLatin1StringView(digits.data(), n);
    }
    return out;
}

QString signPosition(qint64 value)
{
    return value < 0 ? QString::number(value) : u' ' + QString::number(value);
}

} // namespace secondary
