#pragma once
// One simulated device: a pseudo-terminal whose slave side is published as a COM number (a
// symlink <comdir>/comN -> /dev/pts/X). The simulator writes the device's output to the master
// without ever blocking, and counts every byte that the program writes back.
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace sim {

// What a queued piece of output is; decides how it is counted once it has left.
enum class ChunkKind { Line, Unterminated, Garbage, LongLine };

struct Chunk {
    ChunkKind kind = ChunkKind::Line;
    int sensor = -1; // index of the sensor for instrument lines, -1 otherwise
    std::string bytes;
    std::size_t written = 0;
};

struct DeviceStats {
    std::uint64_t garbageBytes = 0;    // garbage bytes that reached the pty
    std::uint64_t longLineBytes = 0;   // bytes of over-long lines that reached the pty
    std::uint64_t droppedNoReader = 0; // lines not sent because nobody had the port open
    std::uint64_t droppedBusy = 0;     // lines not sent because the reader did not keep up
    std::uint64_t cutLines = 0;        // lines partly written when the reader went away
    std::uint64_t unsentAtExit = 0;    // lines still waiting for the reader at exit
    std::uint64_t receivedBytes = 0;   // bytes the program wrote to the device
    std::uint64_t hangups = 0;
};

class PtyDevice {
public:
    PtyDevice(std::string name, std::string comDir, int com);
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    const std::string &name() const { return m_name; }
    int com() const { return m_com; }
    std::string linkPath() const;
    const std::string &slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }
    bool isUp() const { return m_master >= 0; }

    // Makes a new pty (raw, 9600 8N1) and points the COM link at it, replacing the old target
    // atomically. False with a message in `error` on failure.
    bool bringUp(std::string &error);
    // The device goes away: the master is closed, the reader sees a hang-up. The link stays.
    void hangUp();
    // Removes our COM link if it still points at our pty.
    void unpublish();
    // Removes the COM link if it still points at this device's pty, and closes the master.
    void shutdown();

    // Whether some process has the slave side open. Refreshed by refreshReader().
    bool readerPresent() const { return m_reader; }
    void refreshReader();

    // Queues output. A line is refused (and counted as dropped) when nobody reads the port, or
    // when more than `limit` bytes are still waiting for the reader; faults pass `limit` 0 to
    // be queued whatever is waiting. True when queued.
    bool enqueue(Chunk chunk, std::size_t limit);
    std::size_t pendingBytes() const { return m_pendingBytes; }
    bool hasPending() const { return !m_queue.empty(); }
    // Lines (terminated or not) queued and not yet fully written.
    std::size_t queuedLines() const;

    // Writes what the pty takes now, without blocking.
    void flush();
    // Reads and counts everything the program has written to the device.
    void drainInput();
    // Reacts to the poll result for the master.
    void handleEvents(short revents);

    // Called for every chunk whose last byte has been written.
    std::function<void(const Chunk &)> onSent;

    DeviceStats stats;

private:
    void readerGone();
    void dropQueue(bool atExit = false);

    std::string m_name;
    std::string m_comDir;
    int m_com = 0;
    int m_master = -1;
    std::string m_slavePath;
    bool m_reader = false;
    std::deque<Chunk> m_queue;
    std::size_t m_pendingBytes = 0;
};

} // namespace sim
