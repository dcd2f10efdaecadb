// narwickpanel-sim: simulated sensor instrument and pressure gauge on pseudo-terminals,
// published as COM numbers for NarwickPanel.
#include "Simulator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    R"(Usage: narwickpanel-sim [OPTION]...
Simulates the sensor instrument and the pressure gauge on two pseudo-terminals and publishes
them as COM numbers (symlinks comN -> /dev/pts/X) in the COM directory that NarwickPanel reads.

Devices:
  --com-dir DIR          COM directory (default: $NARWICKPANEL_COM_DIR, else
                         $XDG_CONFIG_HOME/NarwickPanel/com, else ~/.config/NarwickPanel/com);
                         created if missing
  --instrument-com N     COM number of the instrument (default 7)
  --gauge-com N          COM number of the pressure gauge (default 8)
  --no-gauge             simulate the instrument only

Instrument stream (lines like "R:0,S100,TC4,2,21.5,C,21.7,C,0" CR LF):
  --sensors K            number of sensors, identifiers S100, S101, ... (default 2)
  --channels N           channels per sensor, 1 to 9 (default 2)
  --rate R               reading lines per second, or "max" for as fast as they are read
                         (default 2)
  --random S             start of the value drift's random sequence (default: random, printed)

Gauge stream (lines like "P:14.70,psi" CR LF):
  --gauge-rate R         pressure lines per second (default 8)

Ending:
  --count N              stop after N reading lines have been sent, wait until the reader
                         closes the port (at most --linger seconds, default 2) and exit
  --linger S             see --count
  --duration S           exit after S seconds
  Ctrl+C, SIGTERM, or the command "quit" also end it; the links are removed in every case.

Faults:
  --fault COMMAND        carry out COMMAND at start (repeatable)
  --at S:COMMAND         carry out COMMAND S seconds after start (repeatable)
  Commands, also read one per line from standard input:
    silence SECONDS                      the instrument says nothing for SECONDS
    noterm N [instrument|gauge]          the next N lines go out without CR LF
    garbage BYTES [instrument|gauge]     random binary bytes, every value 0..255
    longline BYTES [instrument|gauge]    a line of BYTES characters, then CR LF
    hangup SECONDS [instrument|gauge]    the device goes away (the pty is closed) and comes
                                         back on a new pty under the same COM number
    stop | start                         pause or resume both streams
    status                               print the delivery report so far
    quit                                 end

Report:
  At exit it prints what it sent per sensor, what it could not send (nobody had the port open,
  or the reader did not keep up) and how many bytes the program wrote to either device, which
  must be none.
  --report FILE          also write the report as "key value" lines to FILE
  --strict               exit with status 3 if the program wrote anything to a device
  --help                 show this help
)";

[[noreturn]] void usageError(const std::string &message)
{
    std::fprintf(stderr, "narwickpanel-sim: %s\nTry 'narwickpanel-sim --help'.\n", message.c_str());
    std::exit(2);
}

double number(const std::string &option, const char *text, double min, double max)
{
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= min && v <= max))
        usageError(option + " needs a number from " + std::to_string(min) + " to " +
                   std::to_string(max) + ", not '" + text + "'");
    return v;
}

long integer(const std::string &option, const char *text, long min, long max)
{
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < min || v > max)
        usageError(option + " needs a whole number from " + std::to_string(min) + " to " +
                   std::to_string(max) + ", not '" + text + "'");
    return v;
}

std::string defaultComDir()
{
    if (const char *d = std::getenv("NARWICKPANEL_COM_DIR"); d && *d) return d;
    if (const char *x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        return std::string(x) + "/NarwickPanel/com";
    const char *home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/NarwickPanel/com";
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    sim::Options opt;
    opt.comDir = defaultComDir();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) usageError(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--com-dir") {
            opt.comDir = value();
            if (opt.comDir.empty()) usageError("--com-dir needs a directory");
        } else if (a == "--instrument-com") {
            opt.instrumentCom = static_cast<int>(integer(a, value(), 1, 255));
        } else if (a == "--gauge-com") {
            opt.gaugeCom = static_cast<int>(integer(a, value(), 1, 255));
        } else if (a == "--no-gauge") {
            opt.noGauge = true;
        } else if (a == "--sensors") {
            opt.sensors = static_cast<int>(integer(a, value(), 1, 900));
        } else if (a == "--channels") {
            opt.channels = static_cast<int>(integer(a, value(), 1, 9));
        } else if (a == "--rate") {
            const char *v = value();
            if (std::strcmp(v, "max") == 0)
                opt.maxRate = true;
            else
                opt.rate = number(a, v, 0.01, 100000);
        } else if (a == "--gauge-rate") {
            opt.gaugeRate = number(a, value(), 0.01, 10000);
        } else if (a == "--random") {
            opt.randomStart = static_cast<std::uint64_t>(integer(a, value(), 0, 2147483647));
            opt.randomGiven = true;
        } else if (a == "--count") {
            opt.count = static_cast<std::uint64_t>(integer(a, value(), 1, 2000000000));
        } else if (a == "--linger") {
            opt.linger = number(a, value(), 0, 3600);
        } else if (a == "--duration") {
            opt.duration = number(a, value(), 0.001, 1e6);
        } else if (a == "--fault") {
            opt.startCommands.emplace_back(value());
        } else if (a == "--at") {
            const std::string v = value();
            const auto colon = v.find(':');
            if (colon == std::string::npos) usageError("--at needs SECONDS:COMMAND");
            const std::string when = v.substr(0, colon);
            opt.timedCommands.emplace_back(number(a, when.c_str(), 0, 1e6), v.substr(colon + 1));
        } else if (a == "--report") {
            opt.reportFile = value();
        } else if (a == "--strict") {
            opt.strict = true;
        } else {
            usageError("unknown option '" + a + "'");
        }
    }
    if (!opt.noGauge && opt.instrumentCom == opt.gaugeCom)
        usageError("the instrument and the gauge need different COM numbers");

    sim::Simulator simulator(std::move(opt));
    return simulator.run();
}
