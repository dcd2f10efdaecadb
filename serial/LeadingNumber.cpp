#include "serial/LeadingNumber.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace serial {

namespace {

bool isSkipped(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

int digitValue(QChar c, int base)
{
    const char16_t u = c.unicode();
    int v = -1;
    if (u >= u'0' && u <= u'9')
        v = u - u'0';
    else if (u >= u'a' && u <= u'f')
        v = u - u'a' + 10;
    else if (u >= u'A' && u <= u'F')
        v = u - u'A' + 10;
    return v < base ? v : -1;
}

// &H / &O integers. The value grows in double, so long digit runs give a large (or infinite)
// value rather than wrapping.
double prefixedInteger(QStringView text, qsizetype i, int base)
{
    double value = 0;
    for (; i < text.size(); ++i) {
        if (isSkipped(text[i])) continue;
        const int d = digitValue(text[i], base);
        if (d < 0) break;
        value = value * base + d;
    }
    return value;
}

} // namespace

double leadingNumber(QStringView text)
{
    qsizetype i = 0;
    auto skip = [&] {
        while (i < text.size() && isSkipped(text[i]))
            ++i;
    };

    skip();
    if (i + 1 < text.size() && text[i] == u'&') {
        const QChar p = text[i + 1].toUpper();
        if (p == u'H') return prefixedInteger(text, i + 2, 16);
        if (p == u'O') return prefixedInteger(text, i + 2, 8);
    }

    // Collect the accepted characters as plain ASCII, then convert in one go (locale-free).
    std::string number;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }

    bool seenPoint = false;
    bool seenDigit = false;
    // Where the first non-zero digit stands, to tell overflow from underflow when the
    // conversion reports the value out of range.
    bool seenNonZero = false;
    long long integerDigits = 0;
    long long fractionZeros = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (isSkipped(c)) continue;
        if (c >= u'0' && c <= u'9') {
            seenDigit = true;
            number.push_back(char(c.unicode()));
            if (!seenNonZero && c != u'0') seenNonZero = true;
            if (seenNonZero && !seenPoint) ++integerDigits;
            if (!seenNonZero && seenPoint) ++fractionZeros;
            continue;
        }
        if (c == u'.' && !seenPoint) {
            seenPoint = true;
            number.push_back('.');
            continue;
        }
        break;
    }
    if (!seenDigit) return 0;

    // Optional exponent: E or e, optional sign, at least one digit; otherwise it is not part
    // of the number.
    long long exponent = 0;
    {
        qsizetype j = i;
        auto skipAt = [&] {
            while (j < text.size() && isSkipped(text[j]))
                ++j;
        };
        if (j < text.size() && (text[j] == u'E' || text[j] == u'e')) {
            ++j;
            skipAt();
            std::string exp = "e";
            if (j < text.size() && (text[j] == u'+' || text[j] == u'-')) {
                exp.push_back(char(text[j].unicode()));
                ++j;
            }
            bool expDigit = false;
            for (; j < text.size(); ++j) {
                if (isSkipped(text[j])) continue;
                if (text[j] < u'0' || text[j] > u'9') break;
                expDigit = true;
                exp.push_back(char(text[j].unicode()));
                if (exponent < 1000000000LL) exponent = exponent * 10 + (text[j].unicode() - u'0');
            }
            if (expDigit) {
                number += exp;
                if (exp[1] == '-') exponent = -exponent;
            }
        }
    }

    double value = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: the decimal magnitude decides which.
        const long long lead = integerDigits > 0 ? integerDigits : -fractionZeros;
        const bool tooLarge = seenNonZero && lead + exponent > 0;
        value = tooLarge ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (result.ec != std::errc()) {
        value = 0;
    }
    return negative ? -value : value;
}

double leadingNumber(QStringView text, const QLocale &locale)
{
    const QString point = locale.decimalPoint();
    // Only a one-character separator that is not already part of the rule is read as a point.
    if (point.size() != 1 || point == u"." || point[0].isDigit() || isSkipped(point[0]) ||
        QStringView(u"+-&eEhHoO").contains(point[0]) || !text.contains(point[0]))
        return leadingNumber(text);
    QString typed = text.toString();
    typed.replace(point[0], u'.');
    return leadingNumber(typed);
}

bool hasLeadingNumber(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && isSkipped(text[i]))
        ++i;
    int base = 10;
    if (i + 1 < text.size() && text[i] == u'&') {
        const QChar p = text[i + 1].toUpper();
        if (p == u'H' || p == u'O') {
            base = p == u'H' ? 16 : 8;
            i += 2;
        }
    } else if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        ++i;
    }
    bool seenPoint = base != 10; // a prefixed integer has no point
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (isSkipped(c)) continue;
        if (digitValue(c, base) >= 0) return true;
        if (c == u'.' && !seenPoint) {
            seenPoint = true;
            continue;
        }
        return false;
    }
    return false;
}

std::optional<double> leadingValue(QStringView text)
{
    if (!hasLeadingNumber(text)) return std::nullopt;
    const double v = leadingNumber(text);
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

} // namespace serial
