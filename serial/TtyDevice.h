#pragma once
// Exclusive opening of a serial device, shared by both serial layers.
// A port we hold carries TIOCEXCL and an flock(LOCK_EX), so that other programs (root
// included, who can bypass TIOCEXCL) and our own other link see it as held.
#include <QString>

namespace serial {

struct LineSettings {
    int baud = 9600;
    char parity = 'n'; // n, e, o, m, s
    int dataBits = 8;
    int stopBits = 1;
};

// Opens `devicePath` read/write, non-blocking, without becoming its controlling terminal and
// without touching its settings or its holders. Returns the fd, or -1 with errno set.
int openDevice(const QString &devicePath);

// Opens `devicePath` read/write, non-blocking, without becoming its controlling terminal,
// refuses it when another holder has it (errno-style code EBUSY), takes the flock and sets
// TIOCEXCL. Returns the fd, or -1 with *error set to an errno value.
int openExclusive(const QString &devicePath, int *error);

// Raw mode with the given settings, receiver on, modem control lines ignored, no flow control.
// Returns 0 or an errno value.
int configureLine(int fd, const LineSettings &settings);

// True when the exclusive flag on the open descriptor `fd` is left over: no process has the
// device open apart from `fd` itself and nobody holds its lock. A pseudo-terminal keeps the
// flag of a program that was killed for as long as its other end lives; a real port drops it
// at its last close.
bool exclusiveFlagIsStale(int fd);

// Clears our exclusive flag, drops the lock and closes. Harmless for -1.
void closeExclusive(int fd);

} // namespace serial
