#pragma once
// The general date form of the user's regional settings: the locale's short date with a
// four-digit year, one blank, the locale's long time without a time zone. At exactly 00:00:00
// the date alone. Under en_US: "3/14/2014 3:45:12 PM".
#include <QDateTime>
#include <QLocale>
#include <QString>

namespace primary {

class GeneralDate {
public:
    explicit GeneralDate(const QLocale &locale = QLocale::system());
    QString format(const QDateTime &when) const;
    // The stamp as a readings record writes it: format() made safe for Windows-1252 (blanks
    // and digits, see recordSafe), or the en_US general date form ("3/14/2014 3:45:12 PM")
    // when the locale's stamp holds a character Windows-1252 cannot hold (ar_SA, ja_JP, th_TH).
    QString recordStamp(const QDateTime &when) const;
    QString dateFormat() const { return m_dateFormat; }
    QString timeFormat() const { return m_timeFormat; }

private:
    QLocale m_locale;
    QString m_dateFormat;
    QString m_timeFormat;
    QString m_dateTimeFormat;
};

} // namespace primary
