#pragma once
// The serial library the secondary pressure link talks through: Sio* calls over POSIX termios.
//
// Ports are library port numbers, 0-based: port n is COM(n+1), mapped to a device by the COM
// number rules. Every call returns a 32-bit code; negative means failure (callers narrow the
// code to 16 bits). All calls come from one thread.
//
// SioGetc never blocks or sleeps. When its receive queue is empty it refills it with one
// non-blocking read() of up to the queue's free space, and not again for a short while after
// a read found nothing, so a drain of 1024 calls on a silent port costs about one system call.

namespace wsc {

// Result codes: our own, negative for failure.
enum : int {
    SIO_NO_PORT = -1,      // COM number maps to no device, or the device is not there
    SIO_BUSY = -2,         // held by another program, or by our other link
    SIO_NOT_OPEN = -3,     // the port is not open
    SIO_NO_MEMORY = -4,    // the receive queue could not be allocated
    SIO_BAD_SETTINGS = -5, // the device refused the line settings
    SIO_BAD_ARGUMENT = -6, // port number, queue size or setting out of range
    SIO_NO_ACCESS = -7,    // no permission to open the device (dialout group)
    SIO_IO_ERROR = -8,     // the device reported an I/O error, or is not a serial device
    SIO_HANGUP = -9,       // SioGetc: the device went away; the port has been closed
    SIO_NO_DATA = -10,     // SioGetc: nothing waiting
};

int SioReset(int port, int rxQueue, int txQueue);
int SioDone(int port);
int SioBaud(int port, int baud);
int SioDTR(int port, int cmd);
int SioRTS(int port, int cmd);
int SioParms(int port, int parity, int stopBits, int dataBits);
int SioStatus(int port, int mask);
int SioRxClear(int port);
int SioGetc(int port);

// The device path library port `port` is open on, or empty (for messages and tests).
const char *SioDevicePath(int port);

} // namespace wsc
