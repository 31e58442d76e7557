#pragma once

#include <cstdint>
#include <string>

namespace NorvEngineering::SensorLib {

class CSensorInterface;
class CSensorProcessor;
class CSensorSink;

// Packs the three numbers that name a driver: a << 16 | b << 8 | c.
constexpr uint32_t makeSensorType(uint16_t a, uint8_t b, uint8_t c) {
    return (static_cast<uint32_t>(a) << 16) | (static_cast<uint32_t>(b) << 8) | c;
}

// Root of every sensor driver. The sensor and its transport know each other; either
// may be deleted first and the other is left without a dangling pointer.
class CSensor {
public:
    explicit CSensor(CSensorSink* sink);
    CSensor(const CSensor&) = delete;
    CSensor& operator=(const CSensor&) = delete;
    virtual ~CSensor();

    // The model's start sequence; the owner calls it when the transport is ready.
    virtual void initialize() = 0;
    virtual void dataReceived(const char* data, unsigned int length);

    void setInterface(CSensorInterface* iface);
    void detachInterface(CSensorInterface* iface);

    uint32_t getSensorType() const { return m_sensorType_; }
    CSensorInterface* getInterface() const { return m_pInterface_; }
    CSensorSink* getSink() const { return m_pSink_; }
    CSensorProcessor* getProcessor() const { return m_pProcessor_; }

protected:
    // The concrete driver creates the processor and deletes it in its destructor.
    void setProcessor_(CSensorProcessor* processor) { m_pProcessor_ = processor; }
    void setSensorType_(uint32_t type) { m_sensorType_ = type; }

private:
    CSensorInterface* m_pInterface_ = nullptr;
    CSensorProcessor* m_pProcessor_ = nullptr;
    CSensorSink* m_pSink_;
    uint32_t m_sensorType_ = 0;
};

// Base of the laser sensors: the active flag and the last distance and temperature.
class CNorvLaser : public CSensor {
public:
    // Set-up values common to every laser model.
    class CLaserConfig {
    public:
        CLaserConfig() = default;
        CLaserConfig(const CLaserConfig&) = default;
        CLaserConfig& operator=(const CLaserConfig&) = default;
        virtual ~CLaserConfig();

        virtual std::string getIdentification() const { return m_identification_; }
        virtual uint16_t getAverage() const { return m_average_; }
        virtual double getScaleFactor() const { return m_scaleFactor_; }
        virtual const std::string& getStrScaleFactor() const { return m_strScaleFactor_; }
        virtual void setIdentification(const std::string& text);
        virtual void setAverage(uint16_t average);
        // Stores the text, then reads the number; throws CBadConversion (keeping the
        // text, not the number) when the text is not a number.
        virtual void setScaleFactor(const std::string& text);

    private:
        uint16_t m_average_ = 0;
        double m_scaleFactor_ = 0.0;
        std::string m_identification_;
        std::string m_strScaleFactor_;
    };

    explicit CNorvLaser(CSensorSink* sink);
    ~CNorvLaser() override;

    uint8_t getActive() const { return m_active_; }
    void setActive(uint8_t active) { m_active_ = active; }

    double getDistance() const { return m_distance_; }
    double getTemperature() const { return m_temperature_; }
    const std::string& getStrDistance() const { return m_strDistance_; }
    const std::string& getStrTemperature() const { return m_strTemperature_; }
    void setDistance(double distance) { m_distance_ = distance; }
    void setTemperature(double temperature) { m_temperature_ = temperature; }
    void setStrDistance(const std::string& text) { m_strDistance_ = text; }
    void setStrTemperature(const std::string& text) { m_strTemperature_ = text; }

private:
    uint8_t m_active_ = 0;
    double m_distance_ = 0.0;
    double m_temperature_ = 0.0;
    std::string m_strDistance_;
    std::string m_strTemperature_;
};

} // namespace NorvEngineering::SensorLib
