#include "secondary/SecondaryLink.h"

#include "secondary/Numbers.h"
#include "secondary/Pressure.h"
#include "serial/Cp1252.h"
#include "serial/PortUsers.h"
#include "serial/Wsc32.h"

#include <QLocale>
#include <cmath>

using namespace wsc;

namespace {

constexpr int LibraryPorts = 256;
constexpr int ProbeQueue = 512;
constexpr int OpenQueue = 1024;
constexpr int DrainPasses = 1024;

// 16-bit narrowing of a library code, as the caller looks at it.
qint16 narrow(int code)
{
    return static_cast<qint16>(code);
}

} // namespace

SecondaryLink::SecondaryLink(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<secondary::Pressure>(); // for queued connections
    Timer2.setObjectName(QStringLiteral("Timer2"));
    Timer2.setInterval(PollMs);
    connect(&Timer2, &QTimer::timeout, this, &SecondaryLink::Timer2_Timer);
    Retry.setObjectName(QStringLiteral("Retry"));
    Retry.setInterval(RetryMs);
    connect(&Retry, &QTimer::timeout, this, &SecondaryLink::Retry_Timer);
}

SecondaryLink::~SecondaryLink()
{
    closeOpenPort();
}

void SecondaryLink::appendLog(const QString &text)
{
    emit logAppended(text);
}

void SecondaryLink::closeOpenPort()
{
    if (m_openPort >= 0) {
        SioDone(m_openPort);
        m_openPort = -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Scan

void SecondaryLink::scan()
{
    ScanSecondaryPorts();
}

void SecondaryLink::rescan()
{
    emit logReplaced(QStringLiteral("Scanning available Secondary COM hardware..."));
    ScanSecondaryPorts();
}

void SecondaryLink::ScanSecondaryPorts()
{
    // One look at the other processes' open ports serves every probe of the scan.
    serial::ProbeScope scope;
    // Whatever secondary port is open is closed first, COM1 included; a port that is away is
    // no longer waited for.
    Retry.stop();
    closeOpenPort();
    QList<serial::PortEntry> entries;
    qint16 count = 0;
    for (int i = 0; i < LibraryPorts; ++i) {
        if (narrow(SioReset(i, ProbeQueue, ProbeQueue)) >= 0) {
            ++count;
            entries.append({i + 1, QString::fromLocal8Bit(SioDevicePath(i))});
            SioDone(i);
        }
    }
    appendLog(QStringLiteral("\r\nSecondary COM scan complete\r\n") +
              secondary::signPosition(count) + QStringLiteral(" port(s) found"));
    emit portsListed(entries);
}

// ---------------------------------------------------------------------------------------------
// Open

void SecondaryLink::open(int com)
{
    cboStepperPort_Click(com, false);
}

void SecondaryLink::close()
{
    cboStepperPort_Click(0, false);
}

bool SecondaryLink::openUnattended(int com)
{
    cboStepperPort_Click(com, true);
    return m_openPort >= 0;
}

void SecondaryLink::cboStepperPort_Click(int com, bool unattended)
{
    // Any pick ends the wait for a port that is away, and whatever port is really open is
    // closed, COM1 included.
    Retry.stop();
    closeOpenPort();
    m_notComputableSaid = false; // a new device's lines are said afresh
    emit portPicked(com);
    if (com == 0) {
        SecondaryPort = 0;
        Timer2.stop(); // nothing is open: nothing to poll
        return;
    }
    SecondaryPort = com >= 1 && com <= 32768 ? static_cast<qint16>(com - 1) : -1;

    QString failure;
    qint16 R = resetPort(&failure);
    if (R >= 0) R = setUpPort(&failure);
    if (R >= 0) return;
    if (!unattended) {
        emit messageRequested(failure);
        return;
    }
    // Nobody is there to press OK: the log says it, and a port that is not there (a USB
    // adapter that appears late) is waited for.
    emit messageLogged(QStringLiteral("COM%1: %2").arg(SecondaryPort + 1).arg(failure));
    if (R == SIO_NO_PORT) {
        emit messageLogged(
            QStringLiteral("COM%1 is not there yet; it is tried again every %2 until "
                           "it appears")
                .arg(SecondaryPort + 1)
                .arg(retryEvery()));
        startRetry(false);
    }
}

qint16 SecondaryLink::resetPort(QString *failure)
{
    const qint16 R = narrow(SioReset(SecondaryPort, OpenQueue, OpenQueue));
    if (R < 0) {
        *failure = QStringLiteral("Reset Error") + secondary::signPosition(R);
        return R;
    }
    m_openPort = SecondaryPort;
    return R;
}

qint16 SecondaryLink::setUpPort(QString *failure)
{
    SioBaud(SecondaryPort, 9600);
    SioDTR(SecondaryPort, 'S'); // a pseudo-terminal has no DTR or RTS: that code is ignored
    SioRTS(SecondaryPort, 'S');
    qint16 R = narrow(SioParms(SecondaryPort, 0, 0, 8));
    if (R < 0) {
        // A failed open leaves nothing open.
        closeOpenPort();
        *failure = QStringLiteral("Parms Error") + secondary::signPosition(R);
        return R;
    }
    appendLog(QStringLiteral("\r\nCOM") + QString::number(SecondaryPort + 1) +
              QStringLiteral(" set"));
    R = narrow(SioStatus(SecondaryPort, 8));
    appendLog(QStringLiteral("\r\nStatus") + secondary::signPosition(R) + QStringLiteral("\r\n"));
    SecondaryOpen = true;
    SioRxClear(SecondaryPort);
    Timer2.start();
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Waiting for a port that is away

QString SecondaryLink::retryEvery() const
{
    return QStringLiteral("%1 s").arg(Retry.interval() / 1000.0);
}

void SecondaryLink::startRetry(bool afterHangUp)
{
    m_retryAfterHangUp = afterHangUp;
    Retry.start();
}

void SecondaryLink::Retry_Timer()
{
    // One open attempt per tick, and nothing else: no scan while the device is away.
    QString failure;
    if (resetPort(&failure) < 0) return; // still away (or held): the next tick tries again
    Retry.stop();
    emit messageLogged(
        m_retryAfterHangUp
            ? QStringLiteral("COM%1: the pressure device is back").arg(SecondaryPort + 1)
            : QStringLiteral("COM%1 is there now").arg(SecondaryPort + 1));
    if (setUpPort(&failure) < 0)
        emit messageLogged(QStringLiteral("COM%1: %2").arg(SecondaryPort + 1).arg(failure));
}

// ---------------------------------------------------------------------------------------------
// Polling

void SecondaryLink::Timer2_Timer()
{
    if (!SecondaryOpen) return;
    Timer2.stop();
    GetIncoming();
    // Polling stops when no secondary port is open.
    if (m_openPort >= 0) Timer2.start();
}

void SecondaryLink::GetIncoming()
{
    char bytes[DrainPasses];
    int received = 0;
    bool hungUp = false;
    // Up to 1024 characters a tick. The drain ends at the first pass that brings none: the
    // passes after it would find nothing either (the library reads the device again only a
    // millisecond later), and a hang-up leaves the port closed.
    for (int pass = 0; pass < DrainPasses; ++pass) {
        const qint16 C = narrow(SioGetc(SecondaryPort));
        if (C < 0) {
            hungUp = C == SIO_HANGUP;
            break;
        }
        bytes[received++] = static_cast<char>(C);
    }
    if (received > 0) {
        if (PollBuffer.append(serial::decodeCp1252(QByteArrayView(bytes, received))))
            emit messageLogged(
                QStringLiteral("Over 64 KiB received on the secondary port without a "
                               "line end: the oldest text was dropped"));
        QString line;
        while (PollBuffer.takeLine(&line)) {
            QString copy = line;
            SmallStream(copy);
            if (line != m_streamText) {
                m_streamText = line;
                emit streamChanged(m_streamText);
            }
        }
    }
    if (hungUp) {
        // The library has closed the port. The last pressure is no longer true: records saved
        // while the device is away carry none. The same port is tried again until it is back.
        if (m_openPort == SecondaryPort) m_openPort = -1;
        emit messageLogged(
            QStringLiteral("COM%1: the pressure device went away; no pressure is shown "
                           "or saved until it is back (tried again every %2)")
                .arg(SecondaryPort + 1)
                .arg(retryEvery()));
        setPressureText(QString());
        measured(std::nullopt, QString());
        m_notComputableSaid = false;
        startRetry(true);
    }
}

// ---------------------------------------------------------------------------------------------
// Pressure and zero

void SecondaryLink::SmallStream(QString &Message)
{
    const secondary::PressureUpdate update = secondary::SmallStream(Message, m_zeroText, m_locale);
    if (update.rawPressure) RawPressure = *update.rawPressure;
    // A line with a value whose pressure cannot be computed (out of range, or a difference
    // that overflows) empties the pressure rather than leave the last one standing; a line
    // with nothing after its label keeps it.
    if (update.notComputable) {
        setPressureText(QString());
        measured(std::nullopt, QString());
        if (!m_notComputableSaid) {
            m_notComputableSaid = true;
            emit messageLogged(
                QStringLiteral("COM%1: the gauge sent a pressure that cannot be "
                               "computed; no pressure is shown or saved until one that can")
                    .arg(SecondaryPort + 1));
        }
    } else if (update.pressureText) {
        m_notComputableSaid = false;
        setPressureText(*update.pressureText, update.recordText.value_or(*update.pressureText));
        measured(update.value, m_recordPressure);
    }
}

void SecondaryLink::measured(std::optional<double> value, const QString &recordText)
{
    emit pressureMeasured(secondary::Pressure{m_clock ? m_clock() : QDateTime::currentDateTime(),
                                              value, RawPressure, recordText});
}

void SecondaryLink::setPressureText(const QString &text, const QString &recordText)
{
    m_recordPressure = recordText;
    if (text == m_pressureText) return;
    m_pressureText = text;
    emit pressureChanged(m_pressureText);
}

void SecondaryLink::setZeroToCurrent()
{
    m_zeroText = RawPressure;
    emit zeroChanged(m_zeroText);
}

void SecondaryLink::setZero(const QString &text)
{
    m_zeroText = text;
}
