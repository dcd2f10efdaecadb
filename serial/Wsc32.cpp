#include "serial/Wsc32.h"

#include "serial/ComNames.h"
#include "serial/TtyDevice.h"

#include <array>
#include <cerrno>
#include <new>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace wsc {

namespace {

constexpr int kPorts = 256;

struct Port {
    serial::ExclusivePort held;
    std::string path;
    serial::LineSettings settings;
    std::vector<unsigned char> queue;
    size_t head = 0;  // next byte to hand out
    size_t count = 0; // bytes queued from head
    long long readCalls = 0;
    serial::LineErrorCounters lineErrors;
};

std::array<Port, kPorts> &ports()
{
    static std::array<Port, kPorts> table;
    return table;
}

bool validPort(int port)
{
    return port >= 0 && port < kPorts;
}

Port *openPort(int port)
{
    if (!validPort(port)) return nullptr;
    Port &p = ports()[size_t(port)];
    return p.held.isOpen() ? &p : nullptr;
}

// Code for a call on a port that is not usable.
int notUsable(int port)
{
    return validPort(port) ? SIO_NOT_OPEN : SIO_BAD_ARGUMENT;
}

int openErrorCode(int error)
{
    switch (serial::classifyOpenError(error)) {
    case serial::OpenError::Absent:
        return SIO_NO_PORT;
    case serial::OpenError::Held:
        return SIO_BUSY;
    case serial::OpenError::NoPermission:
        return SIO_NO_ACCESS;
    default:
        return SIO_IO_ERROR;
    }
}

// Applies `settings` to the line and reads them back: a driver may accept the call and still
// keep other settings (a pseudo-terminal always carries 8 data bits without parity), which is
// then reported as SIO_BAD_SETTINGS and the previous settings are put back.
int applySettings(Port &p, const serial::LineSettings &settings, bool restoreOnMismatch = true)
{
    tcflag_t format = 0;
    if (!serial::characterFormat(settings, &format)) return SIO_BAD_ARGUMENT;
    const int error = serial::configureLine(p.held.fd(), settings);
    if (error == EINVAL) return SIO_BAD_ARGUMENT;
    if (error != 0) return SIO_BAD_SETTINGS;
    termios tio{};
    if (::tcgetattr(p.held.fd(), &tio) != 0) return SIO_BAD_SETTINGS;
    if ((tio.c_cflag & serial::kCharacterFormatMask) != format) {
        if (restoreOnMismatch) applySettings(p, p.settings, false);
        return SIO_BAD_SETTINGS;
    }
    p.settings = settings;
    return 0;
}

void closePort(Port &p)
{
    p = Port{}; // lets go of the device and its lock files
}

int modemLine(int port, int cmd, int bit)
{
    Port *p = openPort(port);
    if (!p) return notUsable(port);
    int request = 0;
    switch (cmd) {
    case 'S':
        request = TIOCMBIS;
        break;
    case 'C':
        request = TIOCMBIC;
        break;
    case 'R': {
        int lines = 0;
        if (::ioctl(p->held.fd(), TIOCMGET, &lines) != 0) return SIO_NO_CONTROL;
        return (lines & bit) ? 1 : 0;
    }
    default:
        return SIO_BAD_ARGUMENT;
    }
    if (::ioctl(p->held.fd(), request, &bit) != 0) return SIO_NO_CONTROL;
    return 0;
}

} // namespace

int SioReset(int port, int rxQueue, int txQueue)
{
    if (!validPort(port)) return SIO_BAD_ARGUMENT;
    if (rxQueue < SIO_MIN_RX_QUEUE || rxQueue > SIO_MAX_RX_QUEUE || txQueue < 0 ||
        txQueue > SIO_MAX_TX_QUEUE)
        return SIO_BAD_ARGUMENT;

    Port &p = ports()[size_t(port)];
    if (p.held.isOpen()) closePort(p);

    const QString path = serial::comDevicePath(port + 1);
    if (path.isEmpty()) return SIO_NO_PORT;

    Port fresh;
    try {
        fresh.queue.resize(size_t(rxQueue));
    } catch (const std::bad_alloc &) {
        return SIO_NO_MEMORY;
    }
    int error = 0;
    fresh.held = serial::openExclusive(path, &error);
    if (!fresh.held.isOpen()) return openErrorCode(error);
    fresh.path = path.toStdString();

    // The line keeps its settings until SioBaud or SioParms: a probe (SioReset, SioDone) changes
    // nothing about a port.
    fresh.lineErrors.reset(fresh.held.fd());
    p = std::move(fresh);
    return 0;
}

int SioDone(int port)
{
    Port *p = openPort(port);
    if (!p) return notUsable(port);
    closePort(*p);
    return 0;
}

int SioBaud(int port, int baud)
{
    Port *p = openPort(port);
    if (!p) return notUsable(port);
    serial::LineSettings settings = p->settings;
    settings.baud = baud;
    return applySettings(*p, settings);
}

int SioDTR(int port, int cmd)
{
    return modemLine(port, cmd, TIOCM_DTR);
}

int SioRTS(int port, int cmd)
{
    return modemLine(port, cmd, TIOCM_RTS);
}

int SioParms(int port, int parity, int stopBits, int dataBits)
{
    Port *p = openPort(port);
    if (!p) return notUsable(port);
    static const char parities[] = {'n', 'o', 'e', 'm', 's'};
    if (parity < SIO_PARITY_NONE || parity > SIO_PARITY_SPACE) return SIO_BAD_ARGUMENT;
    if (stopBits != SIO_ONE_STOP_BIT && stopBits != SIO_TWO_STOP_BITS) return SIO_BAD_ARGUMENT;
    if (dataBits < 5 || dataBits > 8) return SIO_BAD_ARGUMENT;
    serial::LineSettings settings = p->settings;
    settings.parity = parities[parity];
    settings.stopBits = stopBits == SIO_TWO_STOP_BITS ? 2 : 1;
    settings.dataBits = dataBits;
    return applySettings(*p, settings);
}

int SioStatus(int port, int mask)
{
    Port *p = openPort(port);
    if (!p) return notUsable(port);
    const unsigned changed = p->lineErrors.changed(p->held.fd());
    int status = 0;
    if (changed & serial::LineFrame) status |= SIO_FRAMING_ERROR;
    if (changed & serial::LineParity) status |= SIO_PARITY_ERROR;
    if (changed & serial::LineOverrun) status |= SIO_OVERRUN_ERROR;
    if (changed & serial::LineBufferOverrun) status |= SIO_BUFFER_OVERRUN;
    if (changed & serial::LineBreak) status |= SIO_BREAK_RECEIVED;
    return status & mask;
}

int SioRxClear(int port)
{
    Port *p = openPort(port);
    if (!p) return notUsable(port);
    p->head = 0;
    p->count = 0;
    if (::tcflush(p->held.fd(), TCIFLUSH) != 0) return SIO_IO_ERROR;
    return 0;
}

int SioGetc(int port)
{
    if (!validPort(port)) return SIO_BAD_ARGUMENT;
    Port &p = ports()[size_t(port)];
    if (p.count > 0) {
        const int byte = p.queue[p.head];
        ++p.head;
        --p.count;
        return byte;
    }
    if (!p.held.isOpen()) return SIO_NOT_OPEN;

    p.head = 0;
    ++p.readCalls;
    const serial::ReadResult r = serial::readSome(p.held.fd(), p.queue.data(), p.queue.size());
    switch (r.status) {
    case serial::ReadResult::Data:
        p.count = size_t(r.bytes) - 1;
        p.head = 1;
        return p.queue[0];
    case serial::ReadResult::HungUp:
        closePort(p);
        return SIO_HANGUP;
    case serial::ReadResult::Nothing:
    case serial::ReadResult::Error:
        break;
    }
    return r.status == serial::ReadResult::Nothing ? SIO_NO_DATA : SIO_IO_ERROR;
}

const char *SioDevicePath(int port)
{
    if (!validPort(port)) return "";
    return ports()[size_t(port)].path.c_str();
}

long long SioReadCalls(int port)
{
    const Port *p = openPort(port);
    return p ? p->readCalls : -1;
}

} // namespace wsc
