#include "secondary/SecondaryLink.h"

#include "secondary/Numbers.h"
#include "secondary/Pressure.h"
#include "serial/Cp1252.h"
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
    Timer2.setObjectName(QStringLiteral("Timer2"));
    Timer2.setInterval(PollMs);
    connect(&Timer2, &QTimer::timeout, this, &SecondaryLink::Timer2_Timer);
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

void SecondaryLink::Command3_Click()
{
    emit logReplaced(QStringLiteral("Scanning available Secondary COM hardware..."));
    ScanSecondaryPorts();
}

void SecondaryLink::ScanSecondaryPorts()
{
    // Whatever secondary port is open is closed first, COM1 included.
    closeOpenPort();
    QList<PortEntry> entries;
    qint16 count = 0;
    for (int i = 0; i < LibraryPorts; ++i) {
        if (narrow(SioReset(i, ProbeQueue, ProbeQueue)) >= 0) {
            ++count;
            entries.append(
                {QString::number(i + 1), QStringLiteral("COM %1: %2")
                                             .arg(i + 1)
                                             .arg(QString::fromLocal8Bit(SioDevicePath(i)))});
            SioDone(i);
        }
    }
    appendLog(QStringLiteral("\r\nSecondary COM scan complete\r\n") +
              secondary::signPosition(count) + QStringLiteral(" port(s) found"));
    emit portsListed(entries);
}

// ---------------------------------------------------------------------------------------------
// Open

void SecondaryLink::cboStepperPort_Click(const QString &entry)
{
    // Whatever port is really open is closed, COM1 included.
    closeOpenPort();
    if (entry == QLatin1String("none")) {
        SecondaryPort = 0;
        Timer2.stop(); // nothing is open: nothing to poll
        return;
    }
    const double wanted = std::nearbyint(secondary::leadingNumber(entry) - 1);
    SecondaryPort = wanted >= -32768 && wanted <= 32767 ? static_cast<qint16>(wanted) : -1;

    qint16 R = narrow(SioReset(SecondaryPort, OpenQueue, OpenQueue));
    if (R < 0) {
        emit messageRequested(QStringLiteral("Reset Error") + secondary::signPosition(R));
        return;
    }
    m_openPort = SecondaryPort;
    SioBaud(SecondaryPort, 9600);
    SioDTR(SecondaryPort, 'S'); // a pseudo-terminal has no DTR or RTS: that code is ignored
    SioRTS(SecondaryPort, 'S');
    R = narrow(SioParms(SecondaryPort, 0, 0, 8));
    if (R < 0) {
        // A failed open leaves nothing open.
        closeOpenPort();
        emit messageRequested(QStringLiteral("Parms Error") + secondary::signPosition(R));
        return;
    }
    appendLog(QStringLiteral("\r\nCOM") + QString::number(SecondaryPort + 1) +
              QStringLiteral(" set"));
    R = narrow(SioStatus(SecondaryPort, 8));
    appendLog(QStringLiteral("\r\nStatus") + secondary::signPosition(R) + QStringLiteral("\r\n"));
    SecondaryOpen = true;
    SioRxClear(SecondaryPort);
    Timer2.start();
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
    for (int pass = 0; pass < DrainPasses; ++pass) {
        const qint16 C = narrow(SioGetc(SecondaryPort));
        if (C >= 0) {
            bytes[received++] = static_cast<char>(C);
        } else if (C == SIO_HANGUP) {
            hungUp = true;
        }
    }
    if (received > 0) {
        if (PollBuffer.append(serial::decodeCp1252(QByteArrayView(bytes, received))))
            appendLog(QStringLiteral("\r\nOver 64 KiB received on the secondary port without a "
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
        // The library has closed the port; it is opened again by picking it.
        if (m_openPort == SecondaryPort) m_openPort = -1;
        appendLog(QStringLiteral("\r\nCOM%1: the pressure device went away; pick the port again "
                                 "when it is back")
                      .arg(SecondaryPort + 1));
    }
}

// ---------------------------------------------------------------------------------------------
// Pressure and zero

void SecondaryLink::SmallStream(QString &Message)
{
    const secondary::PressureUpdate update =
        secondary::SmallStream(Message, m_zeroText, QLocale::system());
    if (update.rawPressure) RawPressure = *update.rawPressure;
    if (update.pressureText && *update.pressureText != m_pressureText) {
        m_pressureText = *update.pressureText;
        emit pressureChanged(m_pressureText);
    }
}

void SecondaryLink::cmdZero_Click()
{
    m_zeroText = RawPressure;
    emit zeroChanged(m_zeroText);
}

void SecondaryLink::setZeroText(const QString &text)
{
    m_zeroText = text;
}
