#pragma once
// What the two simulated devices say: reading lines of the sensor instrument and pressure
// lines of the gauge, with values that drift the way real readings do.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace sim {

// One instrument sensor: an identifier, a type and channels whose values take a bounded random
// walk.
struct Sensor {
    std::string id;
    std::string type;
    std::string unit;
    int decimals = 1;
    double low = 0, high = 0, step = 0;
    std::vector<double> values;
};

class InstrumentStream {
public:
    InstrumentStream(int sensors, int channels, std::mt19937_64 &rng);

    int sensorCount() const { return static_cast<int>(m_sensors.size()); }
    const std::string &sensorId(int i) const { return m_sensors[static_cast<std::size_t>(i)].id; }
    // The sensor whose reading comes next (round robin).
    int nextSensor() const { return m_next; }
    // The next reading line, without its CR LF, e.g. "R:0,S100,TC4,2,21.5,C,21.7,C,0".
    // Advances the values and the round robin.
    std::string nextLine();

private:
    std::vector<Sensor> m_sensors;
    int m_next = 0;
    std::mt19937_64 &m_rng;
};

class GaugeStream {
public:
    explicit GaugeStream(std::mt19937_64 &rng) : m_rng(rng) {}
    // The pressure line at `seconds` since start, without its CR LF, e.g. "P:14.70,psi".
    std::string lineAt(double seconds);

private:
    std::mt19937_64 &m_rng;
};

// Random binary bytes in which every value 0..255 occurs (for sizes of 256 and more).
std::string garbage(std::size_t bytes, std::mt19937_64 &rng);
// Printable text without CR or LF, `bytes` long, with a label so a parser sees it as a line.
std::string longLineText(std::size_t bytes);

} // namespace sim
