#pragma once
// The serial library the secondary pressure link talks through: Sio* calls over POSIX termios.
//
// Ports are library port numbers 0 to 255, 0-based: port n is COM(n+1), mapped to a device by
// the COM number rules afresh at every SioReset. Every call returns a 32-bit code; negative
// means failure (callers narrow the code to 16 bits). All calls come from one thread.
//
// SioReset opens the device exclusively (TIOCEXCL plus flock, so a port held by another
// program, by root or by our own primary link is refused; so is one another program has open
// without any lock, or names in a live UUCP lock file) and allocates the receive queue; it
// leaves the line's settings alone, so a probe (SioReset then SioDone) changes nothing about a
// port. SioBaud and SioParms each put the whole line setting in place: raw mode, receiver on,
// modem lines ignored, no flow control, at the speed and character format given so far
// (9600 bit/s, 8 data bits, no parity, one stop bit until told otherwise). SioReset on a port
// that is already open here closes it first and then opens it afresh. The library never
// writes to a device; the only files it creates are its UUCP lock files while a port is open
// (serial/PortUsers.h), removed again at SioDone, at a hang-up and at a failed SioReset. The
// transmit queue size is checked but nothing is ever queued for sending.
//
// SioGetc never blocks or sleeps. When its receive queue is empty it refills it with one
// non-blocking read() of up to the queue's free space; a caller drains until SIO_NO_DATA, so a
// silent port costs one system call a drain.
//
// When the device goes away (an empty read() that poll reports as a hang-up, EIO, ENXIO or
// ENODEV), SioGetc first hands out the bytes already queued, then closes the port and returns
// SIO_HANGUP once;
// from then on the port is simply not open (SIO_NOT_OPEN) until the next SioReset.

namespace wsc {

// Result codes: our own, negative for failure.
enum : int {
    SIO_NO_PORT = -1,      // COM number maps to no device, the device is not there, or it is
                           // a /dev/ttyS node without a UART behind it
    SIO_BUSY = -2,         // held by another program, or by our other link
    SIO_NOT_OPEN = -3,     // the port is not open
    SIO_NO_MEMORY = -4,    // the receive queue could not be allocated
    SIO_BAD_SETTINGS = -5, // the device refused the line settings
    SIO_BAD_ARGUMENT = -6, // port number, queue size, command or setting out of range
    SIO_NO_ACCESS = -7,    // no permission to open the device (dialout group)
    SIO_IO_ERROR = -8,     // the device reported an I/O error, or is not a serial device
    SIO_HANGUP = -9,       // SioGetc: the device went away; the port has been closed
    SIO_NO_DATA = -10,     // SioGetc: nothing waiting
    SIO_NO_CONTROL = -11,  // SioDTR/SioRTS: the device has no modem control lines (a
                           // pseudo-terminal, for instance); the data path is unaffected
};

// Queue sizes SioReset accepts, in bytes. The transmit size may be 0.
enum : int {
    SIO_MIN_RX_QUEUE = 2,
    SIO_MAX_RX_QUEUE = 65536,
    SIO_MAX_TX_QUEUE = 65536,
};

// SioParms parity codes.
enum : int {
    SIO_PARITY_NONE = 0,
    SIO_PARITY_ODD = 1,
    SIO_PARITY_EVEN = 2,
    SIO_PARITY_MARK = 3,
    SIO_PARITY_SPACE = 4,
};

// SioParms stop-bits codes.
enum : int {
    SIO_ONE_STOP_BIT = 0,
    SIO_TWO_STOP_BITS = 1,
};

// SioStatus bits: line errors the device's driver counted since the port was opened or since
// the previous SioStatus call (whichever is later). Devices that keep no such counts (a
// pseudo-terminal, for instance) always report 0.
enum : int {
    SIO_FRAMING_ERROR = 1,  // a character arrived without a valid stop bit
    SIO_PARITY_ERROR = 2,   // a character arrived with the wrong parity
    SIO_OVERRUN_ERROR = 4,  // the receiver hardware lost characters
    SIO_BUFFER_OVERRUN = 8, // the driver's receive buffer overflowed and lost characters
    SIO_BREAK_RECEIVED = 16,
};

// Opens port `port` with a receive queue of `rxQueue` bytes. 0 on success.
int SioReset(int port, int rxQueue, int txQueue);
// Closes the port. 0 when it was open, SIO_NOT_OPEN when it was not (harmless).
int SioDone(int port);
// Sets the line speed (1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200 bit/s). 0 on
// success; SIO_BAD_ARGUMENT for other speeds.
int SioBaud(int port, int baud);
// Modem control lines. cmd 'S' raises the line, 'C' drops it (both return 0), 'R' reads it
// (returns 1 when raised, 0 when not). Other commands: SIO_BAD_ARGUMENT.
int SioDTR(int port, int cmd);
int SioRTS(int port, int cmd);
// Parity code (SIO_PARITY_*), stop-bits code (SIO_*_STOP_BIT*), data bits 5 to 8. 0 on
// success; the line keeps its old settings on failure.
int SioParms(int port, int parity, int stopBits, int dataBits);
// The SIO_* status bits above, ANDed with `mask`.
int SioStatus(int port, int mask);
// Drops the bytes received but not yet read, in the queue and in the driver. 0 on success.
int SioRxClear(int port);
// The next received byte, 0 to 255, or SIO_NO_DATA, SIO_NOT_OPEN, SIO_HANGUP, SIO_IO_ERROR.
int SioGetc(int port);

// The device path library port `port` is open on, or empty (for messages and tests).
const char *SioDevicePath(int port);

// How many read() calls SioGetc has made on the port since it was opened (for diagnostics
// and tests); -1 when the port is not open.
long long SioReadCalls(int port);

} // namespace wsc
