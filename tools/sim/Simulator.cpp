#include "Simulator.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

volatile sig_atomic_t g_signal = 0;

void onSignal(int sig)
{
    g_signal = sig;
}

// Bytes waiting for a reader beyond which new reading lines are dropped instead of queued.
constexpr std::size_t kLineBacklog = 4096;
// How far ahead of the reader the simulator runs at the "max" rate.
constexpr std::size_t kMaxRateBacklog = 16384;
// How often a device without a reader is checked for a new one.
constexpr auto kReaderCheck = std::chrono::milliseconds(20);

bool makeDirs(const std::string &path, bool &created)
{
    created = false;
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), 0700) == 0) {
            created = true;
        } else if (errno != EEXIST) {
            return false;
        }
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool parseSeconds(const std::string &text, double &out)
{
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v >= 0) || v > 1e6) return false;
    out = v;
    return true;
}

bool parseCount(const std::string &text, std::uint64_t &out, std::uint64_t max)
{
    if (text.empty() || text[0] == '-') return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > max) return false;
    out = v;
    return true;
}

} // namespace

Simulator::Simulator(Options options) : m_opt(std::move(options))
{
    if (!m_opt.randomGiven) m_opt.randomStart = std::random_device{}();
    m_rng = std::mt19937_64(m_opt.randomStart);
    m_lines = std::make_unique<InstrumentStream>(m_opt.sensors, m_opt.channels, m_rng);
    m_pressure = std::make_unique<GaugeStream>(m_rng);
}

Simulator::~Simulator() = default;

double Simulator::seconds(Clock::time_point t) const
{
    return std::chrono::duration<double>(t - m_start).count();
}

Clock::time_point Simulator::after(double s) const
{
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

PtyDevice *Simulator::deviceByName(const std::string &name)
{
    if (name.empty() || name == "instrument") return m_instrument.get();
    if (name == "gauge" && m_gauge) return m_gauge.get();
    return nullptr;
}

bool Simulator::start(std::string &error)
{
    if (!makeDirs(m_opt.comDir, m_createdComDir)) {
        error = "cannot create the COM directory " + m_opt.comDir + ": " + std::strerror(errno);
        return false;
    }
    m_instrument = std::make_unique<PtyDevice>("instrument", m_opt.comDir, m_opt.instrumentCom);
    m_instrument->onSent = [this](const Chunk &c) {
        if (c.kind == ChunkKind::Line) ++m_sentPerSensor[c.sensor];
        if (c.kind == ChunkKind::Unterminated) ++m_instrumentUnterminated;
    };
    if (!m_opt.noGauge) {
        m_gauge = std::make_unique<PtyDevice>("gauge", m_opt.comDir, m_opt.gaugeCom);
        m_gauge->onSent = [this](const Chunk &c) {
            if (c.kind == ChunkKind::Line) ++m_gaugeLines;
            if (c.kind == ChunkKind::Unterminated) ++m_gaugeUnterminated;
        };
    }
    for (PtyDevice *d : {m_instrument.get(), m_gauge.get()}) {
        if (!d) continue;
        if (!d->bringUp(error)) return false;
        std::printf("%s: COM%d -> %s\n", d->name().c_str(), d->com(), d->slavePath().c_str());
    }
    std::printf("links in %s; random start %llu\n", m_opt.comDir.c_str(),
                static_cast<unsigned long long>(m_opt.randomStart));
    std::fflush(stdout);
    return true;
}

bool Simulator::command(const std::string &line, std::string &error)
{
    std::istringstream in(line);
    std::string verb, arg, devName, extra;
    in >> verb >> arg >> devName >> extra;
    if (verb.empty() || verb[0] == '#') return true;
    if (!extra.empty()) {
        error = "too many words";
        return false;
    }
    PtyDevice *dev = deviceByName(devName);
    if (!dev) {
        error = "unknown device '" + devName + "' (instrument or gauge)";
        return false;
    }
    auto noArgs = [&]() {
        if (!arg.empty()) error = verb + " takes no argument";
        return arg.empty();
    };

    if (verb == "quit") {
        if (!noArgs()) return false;
        m_quit = true;
    } else if (verb == "stop") {
        if (!noArgs()) return false;
        m_paused = true;
    } else if (verb == "start") {
        if (!noArgs()) return false;
        m_paused = false;
    } else if (verb == "status") {
        if (!noArgs()) return false;
        std::fputs(reportText().c_str(), stdout);
    } else if (verb == "silence") {
        double s = 0;
        if (!devName.empty() || !parseSeconds(arg, s)) {
            error = "usage: silence SECONDS";
            return false;
        }
        m_silentUntil = after(s);
        ++m_silences;
    } else if (verb == "noterm") {
        std::uint64_t n = 0;
        if (!parseCount(arg, n, 1000000)) {
            error = "usage: noterm N [instrument|gauge]";
            return false;
        }
        (dev == m_gauge.get() ? m_gaugeUnterminatedToGo : m_unterminatedToGo) +=
            static_cast<int>(n);
    } else if (verb == "garbage" || verb == "longline") {
        std::uint64_t n = 0;
        if (!parseCount(arg, n, 100u * 1024 * 1024) || n == 0) {
            error = "usage: " + verb + " BYTES [instrument|gauge]";
            return false;
        }
        dev->refreshReader();
        Chunk c;
        if (verb == "garbage") {
            c.kind = ChunkKind::Garbage;
            c.bytes = garbage(n, m_rng);
        } else {
            c.kind = ChunkKind::LongLine;
            c.bytes = longLineText(n) + "\r\n";
        }
        if (!dev->enqueue(std::move(c), 0))
            std::fprintf(stderr, "%s: nobody has COM%d open; %s not sent\n", dev->name().c_str(),
                         dev->com(), verb.c_str());
    } else if (verb == "hangup") {
        double s = 0;
        if (!parseSeconds(arg, s)) {
            error = "usage: hangup SECONDS [instrument|gauge]";
            return false;
        }
        if (!dev->isUp()) {
            error = dev->name() + " is already hung up";
            return false;
        }
        dev->hangUp();
        std::printf("%s: COM%d hung up for %g s\n", dev->name().c_str(), dev->com(), s);
        std::fflush(stdout);
        m_pending.push_back({after(s), {}, true, dev});
    } else {
        error = "unknown command '" + verb + "'";
        return false;
    }
    return true;
}

bool Simulator::queueInstrumentLine()
{
    Chunk c;
    c.sensor = m_lines->nextSensor();
    c.bytes = m_lines->nextLine();
    const bool unterminated = m_unterminatedToGo > 0;
    if (unterminated) {
        c.kind = ChunkKind::Unterminated;
    } else {
        c.bytes += "\r\n";
    }
    if (!m_instrument->enqueue(std::move(c), m_opt.maxRate ? 0 : kLineBacklog)) return false;
    if (unterminated) --m_unterminatedToGo;
    return true;
}

std::uint64_t Simulator::sentInstrumentLines() const
{
    std::uint64_t n = 0;
    for (const auto &[sensor, count] : m_sentPerSensor)
        n += count;
    return n;
}

bool Simulator::countReached() const
{
    if (m_opt.count == 0) return false;
    std::uint64_t queued = 0;
    if (m_instrument) queued = m_instrument->queuedLines();
    return sentInstrumentLines() + queued >= m_opt.count;
}

void Simulator::produceInstrument(Clock::time_point now)
{
    const bool quiet = m_paused || now < m_silentUntil;
    if (m_opt.maxRate) {
        while (!quiet && !countReached() && m_instrument->isUp() && m_instrument->readerPresent() &&
               m_instrument->pendingBytes() < kMaxRateBacklog) {
            if (!queueInstrumentLine()) break;
        }
        return;
    }
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / m_opt.rate));
    // After a stall (a suspended process) carry on from now instead of sending a burst.
    if (now - m_nextInstrument > std::chrono::seconds(1)) m_nextInstrument = now;
    while (now >= m_nextInstrument) {
        if (!quiet && !countReached()) queueInstrumentLine();
        m_nextInstrument += period;
    }
}

void Simulator::produceGauge(Clock::time_point now)
{
    if (!m_gauge) return;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / m_opt.gaugeRate));
    if (now - m_nextGauge > std::chrono::seconds(1)) m_nextGauge = now;
    while (now >= m_nextGauge) {
        m_nextGauge += period;
        if (m_paused) continue;
        Chunk c;
        c.bytes = m_pressure->lineAt(seconds(now));
        const bool unterminated = m_gaugeUnterminatedToGo > 0;
        if (unterminated)
            c.kind = ChunkKind::Unterminated;
        else
            c.bytes += "\r\n";
        if (m_gauge->enqueue(std::move(c), kLineBacklog) && unterminated) --m_gaugeUnterminatedToGo;
    }
}

void Simulator::tick(Clock::time_point now)
{
    // Timed commands and returns from hang-ups.
    for (std::size_t i = 0; i < m_pending.size();) {
        if (m_pending[i].at > now) {
            ++i;
            continue;
        }
        Pending p = m_pending[i];
        m_pending.erase(m_pending.begin() + static_cast<std::ptrdiff_t>(i));
        if (p.internalReturn) {
            std::string error;
            if (p.device->bringUp(error)) {
                std::printf("%s: COM%d -> %s\n", p.device->name().c_str(), p.device->com(),
                            p.device->slavePath().c_str());
                std::fflush(stdout);
            } else {
                std::fprintf(stderr, "%s: %s; trying again in 1 s\n", p.device->name().c_str(),
                             error.c_str());
                p.at = now + std::chrono::seconds(1);
                m_pending.push_back(p);
            }
        } else {
            std::string error;
            if (!command(p.command, error))
                std::fprintf(stderr, "--at command '%s': %s\n", p.command.c_str(), error.c_str());
        }
    }

    produceInstrument(now);
    produceGauge(now);

    if (m_opt.duration > 0 && seconds(now) >= m_opt.duration) m_quit = true;

    // After --count: once the last line has left, give the reader time to take it, and end
    // as soon as it closes the port.
    if (m_opt.count > 0 && sentInstrumentLines() >= m_opt.count && !m_instrument->hasPending()) {
        if (!m_lingerUntil) m_lingerUntil = after(m_opt.linger);
        if (now >= *m_lingerUntil || !m_instrument->readerPresent()) m_quit = true;
    }
}

void Simulator::readStdin()
{
    // One read per wake-up: poll said there is something, so this does not block.
    char buf[4096];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n > 0)
        m_stdinBuffer.append(buf, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR)
        m_stdinOpen = false;
    std::size_t pos;
    while ((pos = m_stdinBuffer.find('\n')) != std::string::npos) {
        std::string line = m_stdinBuffer.substr(0, pos);
        m_stdinBuffer.erase(0, pos + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string error;
        if (!command(line, error))
            std::fprintf(stderr, "command '%s': %s\n", line.c_str(), error.c_str());
    }
    if (!m_stdinOpen) m_stdinBuffer.clear();
}

std::uint64_t Simulator::receivedTotal() const
{
    std::uint64_t n = m_instrument ? m_instrument->stats.receivedBytes : 0;
    if (m_gauge) n += m_gauge->stats.receivedBytes;
    return n;
}

std::string Simulator::reportText() const
{
    std::ostringstream out;
    const DeviceStats &is = m_instrument->stats;
    out << "narwickpanel-sim report\n";
    out << "  instrument COM" << m_instrument->com() << ": " << sentInstrumentLines()
        << " reading lines sent";
    if (!m_sentPerSensor.empty()) {
        out << " (";
        bool first = true;
        for (const auto &[sensor, count] : m_sentPerSensor) {
            out << (first ? "" : ", ") << m_lines->sensorId(sensor) << " " << count;
            first = false;
        }
        out << ")";
    }
    out << "\n";
    out << "    faults: " << m_instrumentUnterminated << " lines without CR LF, " << is.garbageBytes
        << " garbage bytes, " << is.longLineBytes << " long-line bytes, " << m_silences
        << " silences, " << is.hangups << " hang-ups\n";
    out << "    not sent: " << is.droppedNoReader << " lines while nobody had the port open, "
        << is.droppedBusy << " while the reader was not keeping up, " << is.cutLines
        << " cut short when the reader went away, " << is.unsentAtExit << " still queued at exit\n";
    if (m_gauge) {
        const DeviceStats &gs = m_gauge->stats;
        out << "  gauge COM" << m_gauge->com() << ": " << m_gaugeLines << " pressure lines sent\n";
        out << "    faults: " << m_gaugeUnterminated << " lines without CR LF, " << gs.garbageBytes
            << " garbage bytes, " << gs.longLineBytes << " long-line bytes, " << gs.hangups
            << " hang-ups\n";
        out << "    not sent: " << gs.droppedNoReader << " lines while nobody had the port open, "
            << gs.droppedBusy << " while the reader was not keeping up, " << gs.cutLines
            << " cut short when the reader went away, " << gs.unsentAtExit
            << " still queued at exit\n";
    }
    if (receivedTotal() == 0) {
        out << (m_gauge ? "  received 0 bytes from the program on both devices\n"
                        : "  received 0 bytes from the program\n");
    } else {
        out << "  ERROR: the program wrote to a device: " << m_instrument->stats.receivedBytes
            << " bytes to the instrument";
        if (m_gauge) out << ", " << m_gauge->stats.receivedBytes << " bytes to the gauge";
        out << "\n";
    }
    return out.str();
}

std::string Simulator::reportKeys() const
{
    std::ostringstream out;
    auto device = [&](const PtyDevice &d, std::uint64_t lines, std::uint64_t unterminated) {
        const std::string p = d.name() + ".";
        out << p << "com " << d.com() << "\n";
        out << p << "lines " << lines << "\n";
        out << p << "unterminated_lines " << unterminated << "\n";
        out << p << "garbage_bytes " << d.stats.garbageBytes << "\n";
        out << p << "longline_bytes " << d.stats.longLineBytes << "\n";
        out << p << "dropped_no_reader " << d.stats.droppedNoReader << "\n";
        out << p << "dropped_busy " << d.stats.droppedBusy << "\n";
        out << p << "cut_lines " << d.stats.cutLines << "\n";
        out << p << "unsent_at_exit " << d.stats.unsentAtExit << "\n";
        out << p << "hangups " << d.stats.hangups << "\n";
        out << p << "received_bytes " << d.stats.receivedBytes << "\n";
    };
    device(*m_instrument, sentInstrumentLines(), m_instrumentUnterminated);
    for (int i = 0; i < m_lines->sensorCount(); ++i) {
        auto it = m_sentPerSensor.find(i);
        out << "instrument.lines." << m_lines->sensorId(i) << " "
            << (it == m_sentPerSensor.end() ? 0 : it->second) << "\n";
    }
    out << "instrument.silences " << m_silences << "\n";
    if (m_gauge) device(*m_gauge, m_gaugeLines, m_gaugeUnterminated);
    out << "received_bytes " << receivedTotal() << "\n";
    out << "verdict " << (receivedTotal() == 0 ? "clean" : "wrote-to-device") << "\n";
    out << "random " << m_opt.randomStart << "\n";
    return out.str();
}

int Simulator::run()
{
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigset_t block, original;
    sigemptyset(&block);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&block, sig);
    }
    std::signal(SIGPIPE, SIG_IGN);
    // The signals stay blocked except while waiting in ppoll, so none is missed between the
    // check of the flag and the wait.
    sigprocmask(SIG_BLOCK, &block, &original);

    std::string error;
    if (!start(error)) {
        std::fprintf(stderr, "narwickpanel-sim: %s\n", error.c_str());
        if (m_instrument) m_instrument->shutdown();
        if (m_gauge) m_gauge->shutdown();
        sigprocmask(SIG_SETMASK, &original, nullptr);
        return 1;
    }
    if (fcntl(STDIN_FILENO, F_GETFL) < 0) m_stdinOpen = false;

    m_start = Clock::now();
    m_nextInstrument = m_start;
    m_nextGauge = m_start;
    m_silentUntil = m_start;
    for (const std::string &c : m_opt.startCommands) {
        if (!command(c, error))
            std::fprintf(stderr, "--fault '%s': %s\n", c.c_str(), error.c_str());
    }
    for (const auto &[at, c] : m_opt.timedCommands)
        m_pending.push_back({m_start + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(at)),
                             c, false, nullptr});

    while (!m_quit && g_signal == 0) {
        const Clock::time_point now = Clock::now();
        tick(now);
        if (m_quit) break;
        PtyDevice *devices[] = {m_instrument.get(), m_gauge.get()};
        for (PtyDevice *d : devices)
            if (d) d->flush();

        // Wait for the next due time, room in a pty, bytes from the program or a command.
        Clock::time_point wake = now + std::chrono::seconds(1);
        auto earlier = [&](Clock::time_point t) { wake = std::min(wake, t); };
        if (!m_opt.maxRate) earlier(m_nextInstrument);
        if (m_gauge) earlier(m_nextGauge);
        for (const Pending &p : m_pending)
            earlier(p.at);
        if (m_lingerUntil) earlier(*m_lingerUntil);
        if (m_opt.duration > 0) earlier(after(m_opt.duration - seconds(Clock::now())));
        if (m_silentUntil > now) earlier(m_silentUntil);

        pollfd fds[3];
        nfds_t n = 0;
        int index[3] = {-1, -1, -1};
        for (int i = 0; i < 2; ++i) {
            PtyDevice *d = devices[i];
            if (!d || !d->isUp()) continue;
            if (!d->readerPresent()) {
                earlier(now + kReaderCheck);
                continue;
            }
            index[n] = i;
            fds[n++] = {d->masterFd(), static_cast<short>(POLLIN | (d->hasPending() ? POLLOUT : 0)),
                        0};
            if (m_opt.maxRate && i == 0 && !m_paused && !countReached() &&
                d->pendingBytes() < kMaxRateBacklog)
                wake = now; // room for more at once
        }
        const nfds_t stdinIndex = n;
        if (m_stdinOpen) fds[n++] = {STDIN_FILENO, POLLIN, 0};

        auto wait = std::max(Clock::duration::zero(), wake - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        const int r = ppoll(fds, n, &ts, &original);
        if (r < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "narwickpanel-sim: poll: %s\n", std::strerror(errno));
            break;
        }
        for (nfds_t i = 0; i < stdinIndex; ++i)
            if (fds[i].revents) devices[index[i]]->handleEvents(fds[i].revents);
        if (m_stdinOpen && fds[stdinIndex].revents) readStdin();
        for (PtyDevice *d : devices)
            if (d && d->isUp() && !d->readerPresent()) d->refreshReader();
    }

    // Flush what the pty takes now, then take the devices away and remove the links.
    for (PtyDevice *d : {m_instrument.get(), m_gauge.get()}) {
        if (!d) continue;
        d->flush();
        d->shutdown();
    }
    if (m_createdComDir) ::rmdir(m_opt.comDir.c_str());
    sigprocmask(SIG_SETMASK, &original, nullptr);

    const std::string text = reportText();
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    if (!m_opt.reportFile.empty()) {
        if (FILE *f = std::fopen(m_opt.reportFile.c_str(), "w")) {
            std::fputs(reportKeys().c_str(), f);
            std::fclose(f);
        } else {
            std::fprintf(stderr, "narwickpanel-sim: cannot write %s: %s\n",
                         m_opt.reportFile.c_str(), std::strerror(errno));
        }
    }
    if (m_opt.strict && receivedTotal() != 0) return 3;
    return 0;
}

} // namespace sim
