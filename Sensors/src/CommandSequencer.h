#pragma once

#include "CommandQueue.h"
#include "CommandWriter.h"
#include "Sensor.h"
#include "SensorSink.h"

#include <string>

namespace NorvEngineering::SensorLib {

// The queue discipline of a Vkr25-family driver: one command in flight (the front
// of the queue), the rest waiting in order of request; laser on, laser off and
// escape clear the queue and go out at once; every change of the mode in progress
// is told to the sink. The model's own mode codes come in through `Mode`, whose
// enumerators carry the family's names (lmID, lmPA, lmLO, lmLF, lmEscaped, lmNone);
// `Record` is the model's queued command, built from a mode and an argument.
template <typename Mode, typename Record>
class CCommandSequencer {
public:
    using CQueue = CCommandQueue<Record>;

    explicit CCommandSequencer(CNorvLaser& sensor) : m_sensor_(sensor) {}
    CCommandSequencer(const CCommandSequencer&) = delete;
    CCommandSequencer& operator=(const CCommandSequencer&) = delete;

    Mode getCurrentMode() const { return m_currentMode_; }
    Mode getPreviousMode() const { return m_previousMode_; }
    const CQueue& getQueue() const { return m_queue_; }

    // The start sequence: escape twice, then identification and parameter dump.
    // Commands still queued stay ahead of them and the front one is written again
    // (the escapes have stopped it); a running mode yields to the identification at
    // its next line. The active flag stays as it is.
    void start() {
        // Two escapes stop whatever the sensor may be running since power-up.
        send(Record(Mode::lmEscaped));
        send(Record(Mode::lmEscaped));
        m_queue_.push(Record(Mode::lmID));
        m_queue_.push(Record(Mode::lmPA));
        const Record first = m_queue_.front();
        send(first);
    }

    // None makes the driver inactive; while inactive, or without a transport, a
    // request is dropped.
    void request(Mode mode, const std::string& argument) {
        if (mode == Mode::lmNone) {
            m_sensor_.setActive(0);
            return;
        }
        if (m_sensor_.getInterface() == nullptr || m_sensor_.getActive() == 0)
            return;

        const Record record(mode, argument);
        if (mode == Mode::lmLO || mode == Mode::lmLF || mode == Mode::lmEscaped) {
            m_queue_.clear();
            send(record);
            return;
        }
        m_queue_.push(record);
        if (m_queue_.size() < 2)
            send(record);
    }

    // Writes one command and makes its mode current; the queue is not touched.
    void send(const Record& record) {
        writeCommand(m_sensor_.getInterface(), record.getText(), record.getSuffix(),
                     record.getId() != Mode::lmEscaped);
        setCurrentMode(record.getId());
    }

    // Drops the finished front command and sends the next one, if any.
    void sendNext() {
        m_queue_.popFront();
        if (m_queue_.empty())
            return;
        // A copy: writing may lead to anything, the queue changing included.
        const Record next = m_queue_.front();
        send(next);
    }

    // Records a mode change and tells the sink; the same mode again does nothing.
    void setCurrentMode(Mode mode) {
        if (mode == m_currentMode_)
            return;
        m_previousMode_ = m_currentMode_;
        m_currentMode_ = mode;
        if (m_sensor_.getSink() != nullptr)
            m_sensor_.getSink()->onSensorCustomCallback(&m_sensor_);
    }

private:
    CNorvLaser& m_sensor_;
    Mode m_currentMode_ = Mode::lmNone;
    Mode m_previousMode_ = Mode::lmNone;
    CQueue m_queue_;
};

} // namespace NorvEngineering::SensorLib
