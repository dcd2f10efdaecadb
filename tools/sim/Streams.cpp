#include "Streams.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace sim {

namespace {

struct SensorKind {
    const char *type;
    const char *unit;
    int decimals;
    double centre, low, high, step;
};

// Temperature, humidity, barometric pressure and a voltage probe.
constexpr SensorKind kKinds[] = {
    {"TC4", "C", 1, 21.5, 15.0, 30.0, 0.05},
    {"RH2", "%", 1, 45.0, 20.0, 80.0, 0.2},
    {"BP1", "kPa", 2, 101.3, 95.0, 108.0, 0.02},
    {"VP3", "V", 3, 2.5, 0.0, 5.0, 0.004},
};

std::string format(double v, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

} // namespace

InstrumentStream::InstrumentStream(int sensors, int channels, std::mt19937_64 &rng) : m_rng(rng)
{
    std::uniform_real_distribution<double> spread(-1.0, 1.0);
    for (int i = 0; i < sensors; ++i) {
        const SensorKind &k = kKinds[static_cast<std::size_t>(i) % std::size(kKinds)];
        Sensor s;
        // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "literal" + string.
        s.id = "S";
        s.id += std::to_string(100 + i);
        s.type = k.type;
        s.unit = k.unit;
        s.decimals = k.decimals;
        s.low = k.low;
        s.high = k.high;
        s.step = k.step;
        for (int c = 0; c < channels; ++c)
            s.values.push_back(k.centre + spread(m_rng) * (k.high - k.low) * 0.05);
        m_sensors.push_back(std::move(s));
    }
}

std::string InstrumentStream::nextLine()
{
    Sensor &s = m_sensors[static_cast<std::size_t>(m_next)];
    m_next = (m_next + 1) % static_cast<int>(m_sensors.size());

    std::normal_distribution<double> walk(0.0, s.step);
    std::string line = "R:0,";
    for (const std::string &part : {s.id, s.type, std::to_string(s.values.size())}) {
        line += part;
        line += ',';
    }
    line.pop_back();
    for (double &v : s.values) {
        v += walk(m_rng);
        // Reflect at the bounds so the value stays plausible.
        if (v < s.low) v = 2 * s.low - v;
        if (v > s.high) v = 2 * s.high - v;
        line += ',';
        line += format(v, s.decimals);
        line += ',';
        line += s.unit;
    }
    line += ",0";
    return line;
}

std::string GaugeStream::lineAt(double seconds)
{
    std::normal_distribution<double> noise(0.0, 0.004);
    const double psi = 14.7 + 0.25 * std::sin(2 * M_PI * seconds / 90.0) + noise(m_rng);
    return "P:" + format(psi, 2) + ",psi";
}

std::string garbage(std::size_t bytes, std::mt19937_64 &rng)
{
    std::string out;
    out.reserve(bytes);
    std::vector<unsigned char> block(256);
    while (out.size() < bytes) {
        std::iota(block.begin(), block.end(), 0);
        std::shuffle(block.begin(), block.end(), rng);
        const std::size_t take = std::min<std::size_t>(256, bytes - out.size());
        out.append(reinterpret_cast<const char *>(block.data()), take);
    }
    return out;
}

std::string longLineText(std::size_t bytes)
{
    static const std::string pattern = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ,";
    std::string out = "L:";
    while (out.size() < bytes)
        out += pattern;
    out.resize(bytes);
    return out;
}

} // namespace sim
