#pragma once
// The primary instrument link: the port scan, the port pick, receive and line assembly, the
// watchdog, Datastream and the save step.
//
// The link owns its state, its serial port and its watchdog timer. It takes the operator's
// actions as calls and announces every change the operator can see as a signal; it knows no
// widget. Every line is counted, parsed, logged and saved as it comes, and every change is
// announced as it happens; the window's frame clock decides what is painted.
#include "primary/DiskSync.h"
#include "primary/GeneralDate.h"
#include "primary/Reading.h"
#include "primary/ReadingsFile.h"
#include "serial/LineAssembler.h"
#include "serial/MSComm.h"
#include "serial/PortEntry.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

class PrimaryLink : public QObject {
    Q_OBJECT
public:
    static constexpr int WatchdogMs = 5000;
    static constexpr int RetryMs = 5000; // an unattended pick's wait for a port that is away

    enum class SaveMode { None, All, Current };
    enum class PortState { Closed, Open };

    explicit PrimaryLink(QObject *parent = nullptr);

    // The folder the records go to.
    void setDataFolder(const QString &folder) { NPpath = folder; }

    // The operator's actions.
    void scan();        // lists the ports
    void rescan();      // the log restarts with the scan
    void open(int com); // the count and the log restart; a refusal is said in the log
    void close();       // the port stays closed until a port is picked again
    // An open with nobody at the screen (from the command line): as open(), and a port that
    // is not there is tried again every RetryMs until it appears, the operator opens, closes
    // or rescans. True when the port opened.
    bool openUnattended(int com);
    void setSaveMode(SaveMode mode);

    // The pressure text at the moment of saving; the window wires it to the gauge link.
    void setPressureSource(std::function<QString()> source) { m_pressure = std::move(source); }

    bool isOpen() const { return MSComm1.PortOpen(); }
    int port() const { return PrimaryPort; } // the COM number last picked, 0 for none
    PortState portState() const { return m_portState; }
    SaveMode saveMode() const { return m_saveMode; }
    int readingCount() const { return ReadingCount; }
    // True while an unattended pick waits for its port to appear.
    bool waitingForPort() const { return m_retry.isActive(); }
    QString portStatus() const;

    // Test seams, never used by the program itself.
    void setWatchdogInterval(int ms) { Timer1.setInterval(ms); }
    void setRetryInterval(int ms) { m_retry.setInterval(ms); }
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    const QTimer &watchdog() const { return Timer1; }
    // An overrun on the open port, as a real line reports it.
    void overrunForTest() { MSComm1.reportLineErrorForTest(serial::MSComm::comEventOverrun); }
    qsizetype pendingLineSize() const { return LineBuffer.pendingSize(); }
    // The readings files' sync function and its one-second timer (see primary::DiskSync).
    void setDiskSync(primary::DiskSync::SyncFunction sync, primary::DiskSync::ArmFunction arm);
    // Waits until every sync handed to the sync thread is done.
    void waitForDiskSync() { m_diskSync->waitIdle(); }

signals:
    // The scan's result: the list holds "none" and then these entries.
    void portsListed(const QList<serial::PortEntry> &entries);
    // A port was picked (0: none), by the operator or from the command line.
    void portPicked(int com);
    void countChanged(int count);
    // A received line for the log, without its CR LF: it continues the log's last line, which
    // it then ends. An over-long line is shortened, saying how much was left out.
    void lineLogged(const QString &line);
    // The scan's text for the end of the log (CR LF breaks lines); and the log replaced by
    // `text`.
    void logAppended(const QString &text);
    void logReplaced(const QString &text);
    // A message of the program's own (a hang-up, a save failure, an over-long line): it stands
    // on a line of its own in the log, whatever came before it.
    void messageLogged(const QString &text);
    void portStatusChanged(const QString &text);
    // The save mode changed: set by a call, or back at None once "Save current reading" has
    // saved its reading.
    void saveModeChanged(PrimaryLink::SaveMode mode);
    // Every labelled line, parsed once, stamped by the link's clock when it was handled.
    void readingParsed(const primary::Reading &reading);

private:
    void ScanComPorts();
    void cboPort_Click(int com); // 0: "none"
    void MSComm1_OnComm();
    void Timer1_Timer();
    void retryOpen();
    void receive();
    void Datastream(const QString &Message);
    QDateTime eventTime();
    void echo(const QString &line);
    void resetPort();
    void saveStep(const primary::Reading &reading);
    void showPortStatus();
    void updatePortState();
    void appendLogLine(const QString &line);
    void logMessage(const QString &text);
    void onHangUp(const QString &reason);

    // Window variables of the link.
    QString NPpath;
    qint16 ReadingCount = 0;
    qint16 PrimaryPort = 0;
    PortState m_portState = PortState::Closed;
    SaveMode m_saveMode = SaveMode::None;
    serial::LineAssembler LineBuffer;
    serial::MSComm MSComm1;
    QTimer Timer1;
    QTimer m_retry; // runs while an unattended pick waits for its port
    int m_retryCom = 0;

    primary::GeneralDate m_generalDate;
    primary::SaveReporter m_saveReporter;
    // Records reach the disk within about a second, synced on a thread of their own.
    std::unique_ptr<primary::DiskSync> m_diskSync;
    std::function<QDateTime()> m_clock;
    std::function<QString()> m_pressure;

    bool m_inEvent = false;
    QDateTime m_eventTime; // the clock as read once for the current receive event
    quint64 m_seq = 0;     // readings parsed since start-up
};
