#pragma once
// The primary instrument link: the port scan, the port pick, receive and line assembly, the
// watchdog, Datastream and the save step. Its handlers carry the names of the window's events.
//
// The link owns its state, its serial port and its watchdog timer. It takes the operator's
// actions as calls and announces every change the operator can see as a signal; it knows no
// widget. Lines that arrive together in one receive event are parsed, counted, saved and
// logged one by one, but the boxes' new texts, the count and the log text are announced once
// for the whole event.
#include "primary/DiskSync.h"
#include "primary/GeneralDate.h"
#include "primary/Reading.h"
#include "primary/ReadingsFile.h"
#include "serial/LineAssembler.h"
#include "serial/MSComm.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <array>
#include <bitset>
#include <functional>

class PrimaryLink : public QObject {
    Q_OBJECT
public:
    // The reading boxes by number: 0 txtSensorID, 1 txtSensorType, 1 + k txtChannel(k).
    static constexpr int BoxCount = 12;
    static constexpr int WatchdogMs = 5000;

    // One entry of the port list: its text (" 7") and the device behind it, for its tool tip.
    struct PortEntry {
        QString text;
        QString toolTip;
        bool operator==(const PortEntry &) const = default;
    };

    explicit PrimaryLink(QObject *parent = nullptr);

    // The operator's actions.
    void ScanComPorts();
    void Command2_Click();                    // rescan: the log restarts with the scan
    void cboPort_Click(const QString &entry); // a list entry picked: "none" or " n"
    void optSave_Click(int Index);            // 0 do not save, 1 save all, 2 save current

    // The pressure text at the moment of saving; the window wires it to the gauge link.
    void setPressureSource(std::function<QString()> source) { m_pressure = std::move(source); }

    void MSComm1_OnComm();
    void Timer1_Timer();
    void Datastream(const QString &Message);

    QString boxText(int box) const { return m_boxText.at(box); }
    QString portStatus() const;

    // Window variables of the link.
    QString NPpath;
    qint16 ReadingCount = 0;
    qint16 PrimaryPort = 0;
    QString PortState = QStringLiteral("Closed");
    qint16 SaveMode = 0;
    serial::LineAssembler LineBuffer;
    serial::MSComm MSComm1;
    QTimer Timer1;

    // Test seams, never used by the program itself.
    void setWatchdogInterval(int ms) { Timer1.setInterval(ms); }
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

signals:
    // The scan's result: the list holds "none" and then these entries.
    void portsListed(const QList<PrimaryLink::PortEntry> &entries);
    void boxChanged(int box, const QString &text);
    void countChanged(int count);
    // Text for the end of the log (CR LF breaks lines); and the log replaced by `text`.
    void logAppended(const QString &text);
    void logReplaced(const QString &text);
    // A message of the program's own (a hang-up, a save failure, an over-long line): it stands
    // on a line of its own in the log, whatever came before it.
    void messageLogged(const QString &text);
    void portStatusChanged(const QString &text);
    // "Save current reading" saved its reading: the choice is back at "Do not save readings".
    void saveModeReset();
    // Every labelled line, parsed once, stamped by the link's clock when it was handled.
    void readingParsed(const primary::Reading &reading);

private:
    void receive();
    QDateTime eventTime();
    void echo(const QString &line);
    void resetPort();
    void saveStep(const QString &record, const QString &sensorId, bool recordComplete);
    void showPortStatus();
    void updatePortState();
    void appendLogLine(const QString &line);
    void logMessage(const QString &text);
    void announce();
    void setBox(int index, const QString &text);
    void onHangUp(const QString &reason);

    primary::GeneralDate m_generalDate;
    primary::SaveReporter m_saveReporter;
    primary::DiskSync m_diskSync; // records reach the disk within a second
    std::function<QDateTime()> m_clock;
    std::function<QString()> m_pressure;

    std::array<QString, BoxCount> m_boxText;
    std::bitset<BoxCount> m_boxDirty;
    int m_countShown = -1;
    QString m_pendingLog;
    bool m_inEvent = false;
    QDateTime m_eventTime; // the clock as read once for the current receive event
    quint64 m_seq = 0;     // readings parsed since start-up
};
