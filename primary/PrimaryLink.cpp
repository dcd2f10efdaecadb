#include "primary/PrimaryLink.h"

#include "serial/ComNames.h"
#include "serial/PortProbe.h"
#include "serial/PortUsers.h"

#include <utility>

namespace {

constexpr int FirstComPort = 1;
constexpr int LastComPort = 30;

} // namespace

PrimaryLink::PrimaryLink(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<primary::Reading>(); // for queued connections
    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setInterval(WatchdogMs);
    connect(&MSComm1, &serial::MSComm::OnComm, this, &PrimaryLink::MSComm1_OnComm);
    connect(&MSComm1, &serial::MSComm::hungUp, this, &PrimaryLink::onHangUp);
    connect(&Timer1, &QTimer::timeout, this, &PrimaryLink::Timer1_Timer);
    m_retry.setInterval(RetryMs);
    connect(&m_retry, &QTimer::timeout, this, &PrimaryLink::retryOpen);
    setDiskSync({}, {});
}

void PrimaryLink::setDiskSync(primary::DiskSync::SyncFunction sync,
                              primary::DiskSync::ArmFunction arm)
{
    m_diskSync = std::make_unique<primary::DiskSync>(std::move(sync), std::move(arm));
    // Said once when a file's syncs start failing, on the link's thread.
    m_diskSync->setFailureReport([this](const QString &file, const QString &reason) {
        logMessage(QStringLiteral("Readings saved to %1 could not be flushed to the disk: %2.")
                       .arg(file, reason));
    });
}

// ---------------------------------------------------------------------------------------------
// Port scan

void PrimaryLink::scan()
{
    ScanComPorts();
}

void PrimaryLink::rescan()
{
    emit logReplaced(QStringLiteral("Scanning available COM hardware..."));
    ScanComPorts();
}

void PrimaryLink::ScanComPorts()
{
    // One look at the other processes' open ports serves every probe of the scan.
    serial::ProbeScope scope;
    if (MSComm1.PortOpen()) MSComm1.setPortOpen(false);
    // A port the scan released stays closed: the watchdog must not reopen it, nor an
    // unattended pick's wait.
    Timer1.stop();
    m_retry.stop();

    QList<serial::PortEntry> entries;
    for (int n = FirstComPort; n <= LastComPort; ++n) {
        const serial::ProbeResult result = serial::probeCom(n);
        if (result == serial::ProbeResult::Absent) continue;
        const QString device = serial::comDevicePath(n);
        entries.append({n, device});
        if (result == serial::ProbeResult::Held) {
            appendLogLine(QStringLiteral("COM ") + QString::number(n) +
                          QStringLiteral(" already open"));
        } else if (result == serial::ProbeResult::NoPermission) {
            appendLogLine(QStringLiteral("COM %1: no permission to open %2 (add your user to "
                                         "the dialout group, then log in again)")
                              .arg(n)
                              .arg(device));
        }
    }

    appendLogLine(QStringLiteral("COM scan complete"));
    emit portsListed(entries);
    m_portState = MSComm1.PortOpen() ? PortState::Open : PortState::Closed;
    showPortStatus();
}

// ---------------------------------------------------------------------------------------------
// Port pick

void PrimaryLink::open(int com)
{
    m_retry.stop();
    cboPort_Click(com);
}

void PrimaryLink::close()
{
    m_retry.stop();
    cboPort_Click(0);
}

bool PrimaryLink::openUnattended(int com)
{
    open(com);
    if (MSComm1.PortOpen()) return true;
    // A port that is not there (a USB adapter that appears late) is waited for; one that is
    // there but refused the open was said in the log, as a pick by hand says it.
    if (serial::probeCom(com) != serial::ProbeResult::Absent) return false;
    m_retryCom = com;
    m_retry.start();
    logMessage(QStringLiteral("COM %1 is not there yet; it is tried again every %2 s until it "
                              "appears")
                   .arg(com)
                   .arg(m_retry.interval() / 1000.0));
    return false;
}

void PrimaryLink::retryOpen()
{
    // One probe per try; a port held by someone is there, and its pick fails as by hand.
    if (serial::probeCom(m_retryCom) == serial::ProbeResult::Absent) return;
    m_retry.stop();
    cboPort_Click(m_retryCom);
    logMessage(QStringLiteral("COM %1 is there now: picked from the command line").arg(m_retryCom));
}

void PrimaryLink::cboPort_Click(int com)
{
    if (MSComm1.PortOpen()) MSComm1.setPortOpen(false);
    emit portPicked(com);
    ReadingCount = 0;
    emit countChanged(ReadingCount);

    QString refusal;
    if (com != 0) {
        if (com >= 1 && com <= 32767) {
            PrimaryPort = static_cast<qint16>(com);
            QString reason;
            if (!MSComm1.setCommPort(PrimaryPort, &reason) || !MSComm1.setPortOpen(true, &reason))
                refusal = QStringLiteral("COM %1 could not be opened: %2").arg(com).arg(reason);
        }
    } else {
        // The user released the port: it stays closed until a port is picked again.
        Timer1.stop();
    }

    emit logReplaced(refusal);
    m_portState = MSComm1.PortOpen() ? PortState::Open : PortState::Closed;
    showPortStatus();
}

QString PrimaryLink::portStatus() const
{
    return QStringLiteral("COM ") + QString::number(MSComm1.CommPort()) + QStringLiteral(": ") +
           MSComm1.Settings() +
           (m_portState == PortState::Open ? QStringLiteral(" - Open")
                                           : QStringLiteral(" - Closed"));
}

void PrimaryLink::showPortStatus()
{
    emit portStatusChanged(portStatus());
}

// ---------------------------------------------------------------------------------------------
// Receive, line assembly and the watchdog

void PrimaryLink::MSComm1_OnComm()
{
    switch (MSComm1.CommEvent()) {
    case serial::MSComm::comEvReceive:
        receive();
        break;
    case serial::MSComm::comEventBreak:
        MSComm1.setBreak(false);
        resetPort();
        break;
    case serial::MSComm::comEvEOF:
    case serial::MSComm::comEventOverrun:
    case serial::MSComm::comEventRxOver:
    case serial::MSComm::comEventRxParity:
    case serial::MSComm::comEventTxFull:
    case serial::MSComm::comEventDCB:
        resetPort();
        break;
    default:
        break;
    }
}

void PrimaryLink::receive()
{
    m_inEvent = true;
    if (LineBuffer.append(MSComm1.Input()))
        logMessage(QStringLiteral("Over 64 KiB received without a line end: the oldest text of "
                                  "the unfinished line was dropped"));
    QString line;
    while (LineBuffer.takeLine(&line)) {
        Timer1.stop();
        if (ReadingCount < 32767) {
            ++ReadingCount;
            emit countChanged(ReadingCount);
        }
        Datastream(line);
        echo(line);
    }
    m_inEvent = false;
    m_eventTime = QDateTime();
}

void PrimaryLink::echo(const QString &line)
{
    // The log holds its last 10,000 lines; a line is shown up to 4096 characters so that
    // those lines stay small whatever the instrument sends.
    constexpr qsizetype Shown = 4096;
    const QStringView text = QStringView(line).chopped(2); // without its CR LF
    if (text.size() <= Shown) {
        emit lineLogged(text.toString());
        return;
    }
    emit lineLogged(text.left(Shown).toString() +
                    QStringLiteral(" [%1 more characters not shown]").arg(text.size() - Shown));
}

void PrimaryLink::resetPort()
{
    MSComm1.setPortOpen(false);
    MSComm1.setHandshaking(0);
    QString error;
    if (!MSComm1.setPortOpen(true, &error)) {
        // As after a hang-up: the watchdog tries again every interval, even before a first
        // line, until the device is back.
        logMessage(error + QStringLiteral("; the port is closed until the device returns"));
        Timer1.start();
    }
    updatePortState();
}

void PrimaryLink::Timer1_Timer()
{
    MSComm1.setPortOpen(false);
    MSComm1.setPortOpen(true);
    updatePortState();
}

void PrimaryLink::onHangUp(const QString &reason)
{
    // Said once per hang-up. The watchdog then reopens the port once the device is back,
    // whether or not a line ever came: it keeps trying every interval while the device is away.
    logMessage(reason + QStringLiteral("; the port is closed until the device returns"));
    updatePortState();
    Timer1.start();
}

// The status line follows the port when it closes or opens by itself.
void PrimaryLink::updatePortState()
{
    const PortState state = MSComm1.PortOpen() ? PortState::Open : PortState::Closed;
    if (state == m_portState) return;
    m_portState = state;
    showPortStatus();
}

// ---------------------------------------------------------------------------------------------
// Parsing and saving

void PrimaryLink::Datastream(const QString &Message)
{
    if (!MSComm1.PortOpen()) return;
    // The clock is read once per receive event: its lines share one stamp.
    const QDateTime when = eventTime();
    std::optional<primary::Reading> reading = primary::parseReading(Message);
    if (reading) {
        reading->time = when;
        reading->count = ReadingCount;
        reading->seq = ++m_seq;
        emit readingParsed(*reading);
        saveStep(*reading);
    }
    Timer1.start();
}

QDateTime PrimaryLink::eventTime()
{
    // Lines of one receive event share one reading of the clock; asking the system for the
    // local time costs more than the rest of a line.
    if (!m_inEvent) return m_clock ? m_clock() : QDateTime::currentDateTime();
    if (!m_eventTime.isValid()) m_eventTime = m_clock ? m_clock() : QDateTime::currentDateTime();
    return m_eventTime;
}

void PrimaryLink::saveStep(const primary::Reading &reading)
{
    if (m_saveMode == SaveMode::None) return;
    // A record without its first four positions is not written.
    if (reading.recordable()) {
        const QString line = primary::recordLine(m_generalDate.recordStamp(reading.time), reading,
                                                 m_pressure ? m_pressure() : QString());
        const primary::SaveResult result =
            primary::appendRecord(NPpath, reading.sensorId.value_or(QString()), line);
        if (result.ok) m_diskSync->written(result.file);
        const QString message = m_saveReporter.report(result);
        // "Save current reading" asked for this one reading: why it was not saved is said
        // every time. "Save all readings" says a failure once, until it changes or ends.
        if (m_saveMode == SaveMode::Current && !result.ok)
            logMessage(result.reason);
        else if (!message.isEmpty())
            logMessage(message);
    }
    if (m_saveMode == SaveMode::Current) {
        m_saveMode = SaveMode::None;
        emit saveModeChanged(m_saveMode);
    }
}

void PrimaryLink::setSaveMode(SaveMode mode)
{
    if (mode == m_saveMode) return;
    m_saveMode = mode;
    // What was saved reaches the disk now, without waiting for the sync thread.
    if (mode == SaveMode::None) m_diskSync->syncPending();
    emit saveModeChanged(mode);
}

// ---------------------------------------------------------------------------------------------
// What the operator sees

void PrimaryLink::logMessage(const QString &text)
{
    emit messageLogged(text);
}

void PrimaryLink::appendLogLine(const QString &line)
{
    emit logAppended(QLatin1String("\r\n") + line);
}
