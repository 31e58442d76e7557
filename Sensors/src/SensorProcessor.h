#pragma once

namespace NorvEngineering::SensorLib {

// Turns received bytes into parsed replies and data updates.
class CSensorProcessor {
public:
    CSensorProcessor() = default;
    CSensorProcessor(const CSensorProcessor&) = delete;
    CSensorProcessor& operator=(const CSensorProcessor&) = delete;
    virtual ~CSensorProcessor() = default;

    virtual void feed(const char* data, unsigned int length) = 0;
    virtual void notifyDataUpdate() = 0;
};

} // namespace NorvEngineering::SensorLib
