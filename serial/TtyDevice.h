#pragma once
// Exclusive opening of a serial device and the pieces of line handling both serial layers share.
// A port we hold carries TIOCEXCL and an flock(LOCK_EX), so that other programs (root
// included, who can bypass TIOCEXCL) and our own other link see it as held, and a UUCP lock
// file for the terminal programs that look for one.
#include <QString>
#include <QStringList>

#include <utility>

#include <sys/types.h>
#include <termios.h>

namespace serial {

struct LineSettings {
    int baud = 9600;
    char parity = 'n'; // n, e, o, m, s
    int dataBits = 8;
    int stopBits = 1;
};

// What an errno value from opening a device means.
enum class OpenError {
    None,
    Absent,       // ENOENT, ENODEV, ENXIO, EIO: no device there
    Held,         // EBUSY: another holder has it
    NoPermission, // EACCES, EPERM
    NotSerial,    // ENOTTY: a device, but no terminal
    Other,
};
OpenError classifyOpenError(int code);

// Opens `devicePath` read/write, non-blocking, without becoming its controlling terminal and
// without touching its settings or its holders. Returns the fd, or -1 with errno set.
int openDevice(const QString &devicePath);

// A /dev/ttyS node whose UART type is unknown: the driver reserves the minor number but there
// is no hardware behind it.
bool isPhantomUart(int fd, const QString &devicePath);

// Whether someone else holds the device `fd` was just opened on (`devicePath` canonical):
// a live exclusive flag, an flock, a live UUCP lock file, or a descriptor in another process.
// Changes nothing about the device. *staleExclusiveFlag tells whether an exclusive flag is
// set that nobody holds any more.
bool heldByAnother(int fd, const QString &devicePath, bool *staleExclusiveFlag = nullptr);

// A port we hold: its descriptor and the UUCP lock files we wrote for it. close(), or the
// destructor, clears our exclusive flag, drops the flock, closes the descriptor and removes
// those lock files; a moved-from or closed port holds nothing. Exactly one owner lets go.
class ExclusivePort {
public:
    ExclusivePort() = default;
    ~ExclusivePort() { close(); }
    ExclusivePort(ExclusivePort &&other) noexcept;
    ExclusivePort &operator=(ExclusivePort &&other) noexcept;
    ExclusivePort(const ExclusivePort &) = delete;
    ExclusivePort &operator=(const ExclusivePort &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; } // -1 when not open
    void close();                   // harmless when not open

private:
    friend ExclusivePort openExclusive(const QString &devicePath, int *error);
    ExclusivePort(int fd, QStringList lockFiles) : m_fd(fd), m_lockFiles(std::move(lockFiles)) {}

    int m_fd = -1;
    QStringList m_lockFiles;
};

// Opens `devicePath` (canonical) read/write, non-blocking, without becoming its controlling
// terminal, refuses it when another holder has it (errno-style code EBUSY) or when it is not a
// serial port (ENOTTY, or ENODEV for a phantom UART), takes the flock, sets TIOCEXCL and writes
// our UUCP lock files. Returns the held port, or one that is not open with *error set to an
// errno value.
ExclusivePort openExclusive(const QString &devicePath, int *error);

// Raw mode with the given settings, receiver on, modem control lines ignored, no flow control,
// VMIN and VTIME 0. Returns 0 or an errno value.
int configureLine(int fd, const LineSettings &settings);

// The c_cflag bits of the character format `settings` asks for (data bits, parity, stop
// bits), within kCharacterFormatMask. False for values out of range.
constexpr tcflag_t kCharacterFormatMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
bool characterFormat(const LineSettings &settings, tcflag_t *bits);

// True when the exclusive flag on the open descriptor `fd` is left over: no process has the
// device open apart from `fd` itself and nobody holds its lock. A pseudo-terminal keeps the
// flag of a program that was killed for as long as its other end lives; a real port drops it
// at its last close.
bool exclusiveFlagIsStale(int fd);

// One non-blocking read of up to `size` bytes. Works whatever VMIN the line has: an empty read
// is told apart from a hang-up by asking poll.
struct ReadResult {
    enum Status {
        Data,    // `bytes` bytes were read
        Nothing, // nothing waiting now
        HungUp,  // the device went away (end of file, EIO, ENXIO, ENODEV; `error` may be 0)
        Error,   // another error, in `error`
    };
    Status status = Nothing;
    ssize_t bytes = 0;
    int error = 0;
};
ReadResult readSome(int fd, void *buffer, size_t size);

// Line errors the driver counts (TIOCGICOUNT); a pseudo-terminal counts none.
enum LineError : unsigned {
    LineBreak = 1,
    LineFrame = 2,
    LineOverrun = 4,
    LineParity = 8,
    LineBufferOverrun = 16,
};

class LineErrorCounters {
public:
    // Remembers the counts as they are now; available() tells whether the driver keeps any.
    void reset(int fd);
    bool available() const { return m_available; }
    // The LineError bits of the counts that moved since reset() or the previous call; 0 when
    // the driver keeps none (after a failed read of them, none are asked for again).
    unsigned changed(int fd);

private:
    bool m_available = false;
    int m_counts[5] = {}; // in LineError bit order
};

} // namespace serial
