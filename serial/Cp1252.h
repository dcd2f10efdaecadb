#pragma once
// The system's 8-bit code page is Windows-1252 on every platform. The five bytes that table
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control characters of the same
// value, so every byte round-trips.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace serial {

QChar cp1252ToChar(unsigned char byte);
QString decodeCp1252(QByteArrayView bytes);
void appendCp1252(QString &text, QByteArrayView bytes);

// Encodes `text`; characters outside the table become '?' and clear *ok when given.
QByteArray encodeCp1252(QStringView text, bool *ok = nullptr);

} // namespace serial
