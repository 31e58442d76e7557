#include "Vkr25.h"

#include "CommandWriter.h"
#include "SensorSink.h"
#include "Vkr25Processor.h"

namespace NorvEngineering::SensorLib {

CVkr25::CVkr25(CSensorSink* sink) : CNorvLaser(sink), m_pProcessor_(new CVkr25Processor(this)) {
    setProcessor_(m_pProcessor_);
    setSensorType_(makeSensorType(1, 239, 18));
}

CVkr25::~CVkr25() {
    setProcessor_(nullptr);
    delete m_pProcessor_;
    m_pProcessor_ = nullptr;
    m_queue_.clear();
}

void CVkr25::initialize() {
    // A new start sequence starts from nothing: commands left from an earlier
    // connection would never be answered, and readiness is reported anew.
    m_queue_.clear();
    setActive(0);

    // Two escapes stop whatever the sensor may be running since power-up.
    sendQueuedMode(CVkr25QueuedMode(lmEscaped));
    sendQueuedMode(CVkr25QueuedMode(lmEscaped));
    m_queue_.push(CVkr25QueuedMode(lmID));
    m_queue_.push(CVkr25QueuedMode(lmPA));
    const CVkr25QueuedMode first = m_queue_.front();
    sendQueuedMode(first);
}

void CVkr25::setMode(ELaserMode mode, const std::string& argument) {
    if (mode == lmNone) {
        setActive(0);
        return;
    }
    if (getInterface() == nullptr || getActive() == 0)
        return;

    const CVkr25QueuedMode record(mode, argument);
    if (mode == lmLO || mode == lmLF || mode == lmEscaped) {
        m_queue_.clear();
        sendQueuedMode(record);
        return;
    }
    m_queue_.push(record);
    if (m_queue_.size() < 2)
        sendQueuedMode(record);
}

void CVkr25::sendQueuedMode(const CVkr25QueuedMode& record) {
    writeCommand(getInterface(), record.getText(), record.getSuffix(), record.getId() != lmEscaped);
    setCurrentMode(record.getId());
}

void CVkr25::sendNextQueuedMode() {
    m_queue_.popFront();
    if (m_queue_.empty())
        return;
    // A copy: writing may lead to anything, the queue changing included.
    const CVkr25QueuedMode next = m_queue_.front();
    sendQueuedMode(next);
}

void CVkr25::setCurrentMode(ELaserMode mode) {
    if (mode == m_currentMode_)
        return;
    m_previousMode_ = m_currentMode_;
    m_currentMode_ = mode;
    if (getSink() != nullptr)
        getSink()->onSensorCustomCallback(this);
}

} // namespace NorvEngineering::SensorLib
