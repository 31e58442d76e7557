#pragma once

// Feeds a recorded exchange to a driver in pieces of chosen sizes, and writes down
// everything the driver did that anyone could see: the parser must give the same
// results however the transport splits the bytes.

#include "FamilyRig.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

namespace Vkr25Family {

// The size of the next piece, given how many bytes are left.
using Chunker = std::function<std::size_t(std::size_t remaining)>;

inline Chunker whole() {
    return [](std::size_t remaining) { return remaining; };
}
inline Chunker fixed(std::size_t size) {
    return [size](std::size_t) { return size; };
}
inline Chunker splitAt(std::size_t first) {
    auto done = std::make_shared<bool>(false);
    return [first, done](std::size_t remaining) {
        if (*done)
            return remaining;
        *done = true;
        return first;
    };
}

template <class Traits>
void feedChunked(Rig<Traits>& rig, const std::string& bytes, const Chunker& chunk) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t n = std::clamp<std::size_t>(chunk(bytes.size() - pos), 1, bytes.size() - pos);
        rig.feed(bytes.substr(pos, n));
        pos += n;
    }
}

template <class Traits>
std::string transcript(Rig<Traits>& rig) {
    std::ostringstream out;
    for (const auto& call : rig.sink.calls)
        out << call << ';';
    out << '\n';
    for (const auto& update : rig.sink.updates)
        out << '[' << update << ']';
    out << '\n';
    for (const int code : rig.sink.sensorErrors)
        out << code << ',';
    out << '\n';
    for (const auto& write : rig.iface.writes)
        out << '<' << write << '>';
    const auto& config = rig.config();
    out << '\n'
        << rig.driver.getStrDistance() << ' ' << rig.driver.getDistance() << ' '
        << rig.driver.getStrTemperature() << ' ' << int(rig.driver.getCurrentMode()) << ' '
        << int(rig.driver.getPreviousMode()) << ' ' << rig.driver.getQueue().size() << ' '
        << int(rig.driver.getActive()) << ' ' << config.getAverage() << ' ' << config.getStrScaleFactor()
        << ' ' << config.getStrOffset() << ' ' << config.getIdentification();
    return out.str();
}

} // namespace Vkr25Family
