#pragma once
// What a window would show of each link, kept from the links' signals alone: the tests of the
// links run without any widget.
#include "app/OwnLine.h"
#include "primary/PrimaryLink.h"
#include "secondary/SecondaryLink.h"

#include <QObject>
#include <QStringList>

namespace testsupport {

// The log as the window keeps it: appends at the end, a replacement starts it anew. CR LF is
// shown as "\n".
struct LogText {
    QString raw;
    void append(const QString &t) { raw += t; }
    void replace(const QString &t) { raw = t; }
    void line(const QString &t) { raw += t + QLatin1String("\r\n"); }
    // A message on a line of its own, by the window's log's rule.
    void message(const QString &t)
    {
        raw += logtext::ownLine(raw.isEmpty() || raw.endsWith(u'\n'), t);
    }
    QString text() const { return QString(raw).replace(QLatin1String("\r\n"), "\n"); }
};

struct PrimaryView {
    int count = -1;
    QString status;
    QStringList ports;
    int saveModeResets = 0;
    LogText log;
    QList<primary::Reading> readings;

    explicit PrimaryView(PrimaryLink &link)
    {
        QObject::connect(&link, &PrimaryLink::readingParsed,
                         [this](const primary::Reading &r) { readings << r; });
        QObject::connect(&link, &PrimaryLink::countChanged, [this](int n) { count = n; });
        QObject::connect(&link, &PrimaryLink::portStatusChanged,
                         [this](const QString &t) { status = t; });
        QObject::connect(&link, &PrimaryLink::lineLogged,
                         [this](const QString &t) { log.line(t); });
        QObject::connect(&link, &PrimaryLink::logAppended,
                         [this](const QString &t) { log.append(t); });
        QObject::connect(&link, &PrimaryLink::logReplaced,
                         [this](const QString &t) { log.replace(t); });
        QObject::connect(&link, &PrimaryLink::messageLogged,
                         [this](const QString &t) { log.message(t); });
        QObject::connect(&link, &PrimaryLink::saveModeChanged, [this](PrimaryLink::SaveMode m) {
            saveModeResets += m == PrimaryLink::SaveMode::None;
        });
        QObject::connect(&link, &PrimaryLink::portsListed,
                         [this](const QList<serial::PortEntry> &entries) {
                             ports = QStringList{QStringLiteral("none")};
                             for (const auto &e : entries)
                                 ports << QString::number(e.com);
                         });
    }
    QString sensorId() const
    {
        return readings.isEmpty() ? QString() : readings.last().sensorId.value_or(QString());
    }
};

struct SecondaryView {
    QString pressure, stream, zero;
    QStringList ports;
    QStringList messages;
    LogText log;
    QList<secondary::Pressure> measured;

    explicit SecondaryView(SecondaryLink &link)
    {
        QObject::connect(&link, &SecondaryLink::pressureMeasured,
                         [this](const secondary::Pressure &p) { measured << p; });
        QObject::connect(&link, &SecondaryLink::pressureChanged,
                         [this](const QString &t) { pressure = t; });
        QObject::connect(&link, &SecondaryLink::streamChanged,
                         [this](const QString &t) { stream = t; });
        QObject::connect(&link, &SecondaryLink::zeroChanged,
                         [this](const QString &t) { zero = t; });
        QObject::connect(&link, &SecondaryLink::messageRequested,
                         [this](const QString &t) { messages << t; });
        QObject::connect(&link, &SecondaryLink::logAppended,
                         [this](const QString &t) { log.append(t); });
        QObject::connect(&link, &SecondaryLink::logReplaced,
                         [this](const QString &t) { log.replace(t); });
        QObject::connect(&link, &SecondaryLink::messageLogged,
                         [this](const QString &t) { log.message(t); });
        QObject::connect(&link, &SecondaryLink::portsListed,
                         [this](const QList<serial::PortEntry> &entries) {
                             ports = QStringList{QStringLiteral("none")};
                             for (const auto &e : entries)
                                 ports << QString::number(e.com);
                         });
    }
};

} // namespace testsupport
