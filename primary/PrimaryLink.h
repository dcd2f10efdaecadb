#pragma once
// The primary instrument link: the port scan, the port pick, receive and line assembly, the
// watchdog, Datastream and the save step. Its handlers carry the names of the window's events.
//
// The display is updated at most once per receive event: Datastream writes the reading boxes'
// new texts into a small cache and the log lines into a pending block, and both reach the
// widgets when the event's lines are done. Saving stays per line.
#include "app/Controls.h"
#include "app/FramePacer.h"
#include "primary/GeneralDate.h"
#include "primary/ReadingsFile.h"
#include "serial/LineAssembler.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <array>
#include <bitset>
#include <functional>

namespace serial {
class MSComm;
}

class PrimaryLink : public QObject {
    Q_OBJECT
public:
    PrimaryLink(Controls &controls, serial::MSComm &comm, QObject *parent = nullptr);

    // Connects the controls' events to the handlers below.
    void wire();

    void ScanComPorts();
    void Command2_Click();
    void cboPort_Click();
    void MSComm1_OnComm();
    void Timer1_Timer();
    void Datastream(const QString &Message);
    void optSave_Click(int Index);

    // Window variables of the link.
    QString NPpath;
    qint16 ReadingCount = 0;
    qint16 PrimaryPort = 0;
    QString PortState = QStringLiteral("Closed");
    qint16 SaveMode = 0;
    serial::LineAssembler LineBuffer;

    // Test seams, never used by the program itself.
    void setWatchdogInterval(int ms);
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

private:
    void receive();
    QDateTime stampTime();
    void echo(const QString &line);
    void resetPort();
    void saveStep(const QString &record, const QString &sensorId, bool recordComplete);
    void showPortStatus();
    void appendLogLine(const QString &line);
    void queueLog(const QString &text);
    void flushDisplay();
    void setBox(int index, const QString &text);
    void onHangUp(const QString &reason);

    Controls &c;
    serial::MSComm &MSComm1;
    primary::GeneralDate m_generalDate;
    primary::SaveReporter m_saveReporter;
    std::function<QDateTime()> m_clock;

    // Box cache: 0 txtSensorID, 1 txtSensorType, 1 + k txtChannel(k).
    std::array<QString, 12> m_boxText;
    std::bitset<12> m_boxDirty;
    QString m_pendingLog;
    FramePacer m_display{[this] { flushDisplay(); }};
    bool m_inEvent = false;
    QDateTime m_eventTime; // the clock as read once for the current receive event
};
