#include "PtyDevice.h"

#include "Pseudoterminal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

PtyDevice::PtyDevice(std::string name, std::string comDir, int com)
    : m_name(std::move(name)), m_comDir(std::move(comDir)), m_com(com)
{
}

PtyDevice::~PtyDevice()
{
    shutdown();
}

std::string PtyDevice::linkPath() const
{
    return m_comDir + "/com" + std::to_string(m_com);
}

bool PtyDevice::bringUp(std::string &error)
{
    std::string name;
    const int master = pty::openMaster(true, &name);
    if (master < 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    // Open the slave once to make it raw (the settings stay with the pty while the master
    // lives). Closing it again also makes the master report a hang-up until a reader opens
    // the slave, which is how the simulator knows whether anybody listens.
    int slave = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        ::close(master);
        return false;
    }
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tio.c_cflag |= CLOCAL | CREAD;
        tcsetattr(slave, TCSANOW, &tio);
    }
    ::close(slave);

    // Point the link at the new pty in one step, so that a reader never sees it missing.
    const std::string link = linkPath();
    const int published = pty::publishLink(name, link);
    if (published != 0) {
        error = "cannot publish " + link + ": " + std::strerror(published);
        ::close(master);
        return false;
    }
    m_master = master;
    m_slavePath = name;
    m_reader = false;
    refreshReader();
    return true;
}

void PtyDevice::hangUp()
{
    if (m_master < 0) return;
    // An unplugged device's node disappears. Remove the link too: the kernel may hand the old
    // pts number to another pseudo-terminal, which must never pass for this COM number.
    unpublish();
    dropQueue();
    ::close(m_master);
    m_master = -1;
    m_reader = false;
    ++stats.hangups;
}

void PtyDevice::unpublish()
{
    if (m_slavePath.empty()) return;
    char target[PATH_MAX];
    const std::string link = linkPath();
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n >= 0) {
        target[n] = '\0';
        if (m_slavePath == target) ::unlink(link.c_str());
    }
}

void PtyDevice::shutdown()
{
    unpublish();
    if (m_master >= 0) {
        drainInput();
        dropQueue(true);
        ::close(m_master);
        m_master = -1;
    }
    m_reader = false;
}

void PtyDevice::refreshReader()
{
    if (m_master < 0) {
        m_reader = false;
        return;
    }
    pollfd p{m_master, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0) return;
    handleEvents(p.revents);
    if (!(p.revents & POLLHUP)) m_reader = true;
}

bool PtyDevice::enqueue(Chunk chunk, std::size_t limit)
{
    const bool isLine = chunk.kind == ChunkKind::Line || chunk.kind == ChunkKind::Unterminated;
    if (m_master < 0 || !m_reader) {
        if (isLine) ++stats.droppedNoReader;
        return false;
    }
    if (limit != 0 && m_pendingBytes + chunk.bytes.size() > limit) {
        if (isLine) ++stats.droppedBusy;
        return false;
    }
    m_pendingBytes += chunk.bytes.size();
    m_queue.push_back(std::move(chunk));
    return true;
}

std::size_t PtyDevice::queuedLines() const
{
    std::size_t n = 0;
    for (const Chunk &c : m_queue)
        if (c.kind == ChunkKind::Line || c.kind == ChunkKind::Unterminated) ++n;
    return n;
}

void PtyDevice::flush()
{
    while (m_master >= 0 && m_reader && !m_queue.empty()) {
        Chunk &c = m_queue.front();
        const std::size_t left = c.bytes.size() - c.written;
        ssize_t n = ::write(m_master, c.bytes.data() + c.written, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EIO) readerGone();
            return; // EAGAIN: the pty is full; wait for room
        }
        c.written += static_cast<std::size_t>(n);
        m_pendingBytes -= static_cast<std::size_t>(n);
        if (c.kind == ChunkKind::Garbage) stats.garbageBytes += static_cast<std::uint64_t>(n);
        if (c.kind == ChunkKind::LongLine) stats.longLineBytes += static_cast<std::uint64_t>(n);
        if (c.written < c.bytes.size()) return; // short write: the pty is full
        Chunk done = std::move(c);
        m_queue.pop_front();
        if (onSent) onSent(done);
    }
}

void PtyDevice::drainInput()
{
    if (m_master < 0) return;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            stats.receivedBytes += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EIO) readerGone();
        return;
    }
}

void PtyDevice::handleEvents(short revents)
{
    if (revents & POLLIN) drainInput();
    if (revents & POLLHUP) {
        readerGone();
        return;
    }
    if ((revents & POLLOUT) && m_reader) flush();
}

void PtyDevice::readerGone()
{
    if (!m_reader) return;
    m_reader = false;
    // What the reader did not take is lost with it; nothing more is queued for the next one.
    dropQueue();
}

void PtyDevice::dropQueue(bool atExit)
{
    for (const Chunk &c : m_queue) {
        const bool isLine = c.kind == ChunkKind::Line || c.kind == ChunkKind::Unterminated;
        if (!isLine) continue;
        if (c.written > 0)
            ++stats.cutLines;
        else if (atExit)
            ++stats.unsentAtExit;
        else
            ++stats.droppedNoReader;
    }
    m_queue.clear();
    m_pendingBytes = 0;
}

} // namespace sim
