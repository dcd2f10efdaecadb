#pragma once
// The simulator's run: both devices, their streams, the faults, and the delivery report.
#include "PtyDevice.h"
#include "Streams.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace sim {

struct Options {
    std::string comDir;
    int instrumentCom = 7;
    int gaugeCom = 8;
    int sensors = 2;
    int channels = 2;
    double rate = 2.0;      // instrument lines per second
    bool maxRate = false;   // as fast as the pty takes them
    double gaugeRate = 8.0; // gauge lines per second
    std::uint64_t randomStart = 0;
    bool randomGiven = false;
    std::uint64_t count = 0; // stop after this many instrument lines (0: no limit)
    double duration = 0;     // stop after this many seconds (0: no limit)
    double linger = 2.0;     // after --count, how long to wait for the reader to take the rest
    bool strict = false;
    bool noGauge = false;
    std::string reportFile;
    std::vector<std::string> startCommands;                    // --fault
    std::vector<std::pair<double, std::string>> timedCommands; // --at
};

using Clock = std::chrono::steady_clock;

class Simulator {
public:
    explicit Simulator(Options options);
    ~Simulator();

    // Runs until quit, a signal, --count or --duration. Returns the exit status.
    int run();

    // Carries out one command line; false with a message in `error` when it is not understood.
    bool command(const std::string &line, std::string &error);

private:
    struct Pending {
        Clock::time_point at;
        std::string command;
        bool internalReturn = false; // the end of a hang-up: bring the device back
        PtyDevice *device = nullptr;
    };

    bool start(std::string &error);
    void tick(Clock::time_point now);
    void produceInstrument(Clock::time_point now);
    void produceGauge(Clock::time_point now);
    bool queueInstrumentLine();
    void readStdin();
    PtyDevice *deviceByName(const std::string &name);
    double seconds(Clock::time_point t) const;
    Clock::time_point after(double s) const;
    std::string reportText() const;
    std::string reportKeys() const;
    std::uint64_t receivedTotal() const;
    std::uint64_t sentInstrumentLines() const;
    bool countReached() const;

    Options m_opt;
    std::mt19937_64 m_rng;
    std::unique_ptr<PtyDevice> m_instrument;
    std::unique_ptr<PtyDevice> m_gauge;
    std::unique_ptr<InstrumentStream> m_lines;
    std::unique_ptr<GaugeStream> m_pressure;
    bool m_createdComDir = false;

    Clock::time_point m_start;
    Clock::time_point m_nextInstrument;
    Clock::time_point m_nextGauge;
    Clock::time_point m_silentUntil;
    std::optional<Clock::time_point> m_lingerUntil;
    std::vector<Pending> m_pending;
    bool m_paused = false;
    bool m_quit = false;
    int m_unterminatedToGo = 0;
    int m_gaugeUnterminatedToGo = 0;
    bool m_stdinOpen = true;
    std::string m_stdinBuffer;

    // Delivery counts.
    std::map<int, std::uint64_t> m_sentPerSensor;
    std::uint64_t m_instrumentAccepted = 0; // queued or sent, not dropped
    std::uint64_t m_instrumentUnterminated = 0;
    std::uint64_t m_gaugeLines = 0;
    std::uint64_t m_gaugeUnterminated = 0;
    std::uint64_t m_silences = 0;
};

} // namespace sim
