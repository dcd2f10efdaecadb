#include "serial/MSComm.h"

#include "serial/ComNames.h"
#include "serial/Cp1252.h"
#include "serial/TtyDevice.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

namespace serial {

namespace {

// One activation reads at most this much, so a flood cannot hold the window's thread for long
// (16 KiB is about 500 reading lines; the wire brings about 20 a second).
constexpr qsizetype kMaxReadPerActivation = 16 * 1024;
// Readable activations in a row that bring neither data nor a hang-up before we give up.
constexpr int kMaxEmptyWakeups = 100;

QString openFailureText(int com, const QString &path, int code)
{
    switch (classifyOpenError(code)) {
    case OpenError::Held:
        return QStringLiteral("COM %1 is held by another program").arg(com);
    case OpenError::NoPermission:
        return QStringLiteral("no permission to open %1: join the dialout group").arg(path);
    case OpenError::Absent:
        return QStringLiteral("COM %1 maps to no device (%2 is not present)").arg(com).arg(path);
    case OpenError::NotSerial:
        return QStringLiteral("COM %1 maps to %2, which is not a serial port").arg(com).arg(path);
    default:
        return QStringLiteral("cannot open COM %1 (%2): %3")
            .arg(com)
            .arg(path, QString::fromLocal8Bit(std::strerror(code)));
    }
}

} // namespace

MSComm::MSComm(QObject *parent) : QObject(parent) {}

MSComm::~MSComm()
{
    closeNow();
}

bool MSComm::setCommPort(qint16 port, QString *error)
{
    if (PortOpen()) {
        if (error)
            *error =
                QStringLiteral("COM %1 is open: close it before changing the port").arg(m_commPort);
        return false;
    }
    if (port < 1) {
        if (error) *error = QStringLiteral("there is no COM %1").arg(port);
        return false;
    }
    m_commPort = port;
    return true;
}

bool MSComm::setPortOpen(bool open, QString *error, int *errorCode)
{
    if (!open) {
        closeNow();
        return true;
    }
    if (PortOpen()) return true;

    // The number's meaning is looked up afresh: a device may have come back elsewhere.
    const QString path = comDevicePath(m_commPort);
    if (path.isEmpty()) {
        if (error) {
            // Name the node the number stands for, so the user knows what to plug in or link.
            const QString nominal = comNominalPath(m_commPort);
            *error = nominal.isEmpty() ? QStringLiteral("COM %1 maps to no device").arg(m_commPort)
                                       : openFailureText(m_commPort, nominal, ENOENT);
        }
        if (errorCode) *errorCode = ENOENT;
        return false;
    }
    int code = 0;
    ExclusivePort port = openExclusive(path, &code);
    if (!port.isOpen()) {
        if (error) *error = openFailureText(m_commPort, path, code);
        if (errorCode) *errorCode = code;
        return false;
    }
    code = configureLine(port.fd(), LineSettings{});
    if (code != 0) {
        port.close();
        if (error)
            *error = QStringLiteral("cannot set COM %1 (%2) to %3: %4")
                         .arg(m_commPort)
                         .arg(path, Settings(), QString::fromLocal8Bit(std::strerror(code)));
        if (errorCode) *errorCode = code;
        return false;
    }

    m_port = std::move(port);
    m_devicePath = path;
    m_emptyWakeups = 0;
    ++m_generation;

    m_lineErrors.reset(m_port.fd());

    m_notifier = new QSocketNotifier(m_port.fd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &MSComm::onReadable);
    return true;
}

QString MSComm::Input()
{
    const QString text = decodeCp1252(m_received);
    m_received.clear();
    return text;
}

QByteArray MSComm::InputBytes()
{
    QByteArray bytes;
    bytes.swap(m_received);
    return bytes;
}

void MSComm::raise(qint16 event)
{
    m_commEvent = event;
    emit OnComm();
}

void MSComm::closeNow()
{
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    if (m_port.isOpen()) {
        m_port.close();
        ++m_generation;
    }
    m_lineErrors.reset(-1);
}

void MSComm::onReadable()
{
    if (!m_port.isOpen()) return;
    const quint64 generation = m_generation;
    const int fd = m_port.fd();

    bool hungUp = false;
    int hangUpErrno = 0;
    qsizetype got = 0;
    char chunk[4096];
    while (got < kMaxReadPerActivation) {
        const ReadResult r = readSome(fd, chunk, sizeof chunk);
        if (r.status == ReadResult::Data) {
            m_received.append(chunk, r.bytes);
            got += r.bytes;
            continue;
        }
        // Any hard error means the device is gone, as a hang-up does.
        hungUp = r.status != ReadResult::Nothing;
        hangUpErrno = r.error;
        break;
    }

    // A descriptor that keeps waking us without data and without a hang-up would spin the
    // window's thread; treat that as the device having gone.
    m_emptyWakeups = got > 0 || hungUp ? 0 : m_emptyWakeups + 1;
    if (m_emptyWakeups >= kMaxEmptyWakeups) hungUp = true;

    if (got > 0) {
        raise(comEvReceive);
        // The handler may have closed or reopened the port; the rest belongs to the old one.
        if (generation != m_generation) return;
    }

    if (hungUp) {
        const QString reason =
            hangUpErrno != 0
                ? QStringLiteral("COM %1 (%2) went away: %3")
                      .arg(m_commPort)
                      .arg(m_devicePath, QString::fromLocal8Bit(std::strerror(hangUpErrno)))
                : QStringLiteral("COM %1 (%2) went away: hang-up")
                      .arg(m_commPort)
                      .arg(m_devicePath);
        closeNow();
        emit this->hungUp(reason);
        return;
    }

    checkLineErrors(generation);
}

void MSComm::checkLineErrors(quint64 generation)
{
    if (!m_port.isOpen()) return;
    const unsigned changed = m_lineErrors.changed(m_port.fd());
    static constexpr struct {
        unsigned bit;
        qint16 event;
    } events[] = {{LineBreak, comEventBreak},
                  {LineFrame, comEventFrame},
                  {LineOverrun, comEventOverrun},
                  {LineParity, comEventRxParity},
                  {LineBufferOverrun, comEventRxOver}};
    for (const auto &e : events) {
        if (!(changed & e.bit)) continue;
        raise(e.event);
        if (generation != m_generation) return; // the handler reset the port
    }
}

} // namespace serial
