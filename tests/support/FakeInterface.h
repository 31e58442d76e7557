#pragma once

#include "SensorLib.h"

#include <string>
#include <vector>

namespace TestSupport {

// A transport that keeps what is written to it, one entry per write, and counts
// opens. Tests push received bytes with deliver().
class FakeInterface : public NorvEngineering::SensorLib::CSensorInterface {
public:
    FakeInterface() : CSensorInterface(itSerial) {}

    void write(const char* data, int length) override {
        writes.emplace_back(data, static_cast<std::size_t>(length));
    }
    void initInterface_() override { ++opens; }
    void releaseInterface() override {}

    void deliver(const std::string& bytes) {
        notifyDataReceived(bytes.data(), static_cast<unsigned int>(bytes.size()));
    }
    std::string written() const {
        std::string all;
        for (const auto& chunk : writes)
            all += chunk;
        return all;
    }

    std::vector<std::string> writes;
    int opens = 0;
};

} // namespace TestSupport
