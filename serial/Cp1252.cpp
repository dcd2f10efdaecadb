#include "serial/Cp1252.h"

#include <array>

namespace serial {

namespace {

// 0x80-0x9F: the printable characters of Windows-1252; the five undefined bytes keep the
// control character of their own value so that every byte round-trips.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 98-9F
};

constexpr std::array<char16_t, 256> makeTable()
{
    std::array<char16_t, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[i] = (i >= 0x80 && i < 0xA0) ? kHigh[i - 0x80] : char16_t(i);
    return table;
}

constexpr std::array<char16_t, 256> kTable = makeTable();

// The byte for a character of the 0x80-0x9F row, or -1.
int highByte(char16_t c)
{
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] == c) return 0x80 + i;
    return -1;
}

} // namespace

QChar cp1252ToChar(unsigned char byte)
{
    return QChar(kTable[byte]);
}

void appendCp1252(QString &text, QByteArrayView bytes)
{
    const qsizetype old = text.size();
    text.resize(old + bytes.size());
    QChar *out = text.data() + old;
    const auto *in = reinterpret_cast<const unsigned char *>(bytes.data());
    for (qsizetype i = 0, n = bytes.size(); i < n; ++i)
        out[i] = QChar(kTable[in[i]]);
}

QString decodeCp1252(QByteArrayView bytes)
{
    QString text;
    appendCp1252(text, bytes);
    return text;
}

QByteArray encodeCp1252(QStringView text, bool *ok)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    bool allKnown = true;
    for (qsizetype i = 0, n = text.size(); i < n; ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            bytes.append(char(c));
            continue;
        }
        const int byte = highByte(c);
        if (byte >= 0) {
            bytes.append(char(byte));
            continue;
        }
        // One '?' per character, also for a character outside the basic plane.
        if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(text[i + 1].unicode()))
            ++i;
        bytes.append('?');
        allKnown = false;
    }
    if (ok) *ok = allKnown;
    return bytes;
}

} // namespace serial
