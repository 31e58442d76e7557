#pragma once

#include "SensorSimulator.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace SensorSim {

// A simulated sensor behind a pseudo-terminal: a thread of its own reads commands
// from the pty's master side, feeds them to the engine, writes the engine's replies
// back and sends measurement lines when the running mode is due. A program opens
// getDevicePath() as it would open a serial port.
//
// The server keeps a descriptor of the device side open itself, so the device stays
// in raw mode and does not vanish between clients. When the engine hangs up, the
// server waits until the client has read what was sent (at most two seconds; closing
// earlier would throw the unread bytes away) and then closes the master side: to the
// client that looks like an unplugged adapter.
class CPtySensorServer {
public:
    explicit CPtySensorServer(EModel model = EModel::Vkr25);
    CPtySensorServer(const CPtySensorServer&) = delete;
    CPtySensorServer& operator=(const CPtySensorServer&) = delete;
    ~CPtySensorServer();

    const std::string& getDevicePath() const { return m_devicePath_; }

    void start();
    void stop();

    // Runs the call with the engine, under the server's lock; the output it causes
    // goes out afterwards, and a changed measuring period takes effect.
    void withSimulator(const std::function<void(CSensorSimulator&)>& call);

    // Replies go out in pieces of at most `chunk` bytes with `gap` between them (0:
    // whole, as produced).
    void setSplitReplies(std::size_t chunk, std::chrono::milliseconds gap);
    // Every n-th measurement line is followed by a line of garbage (0: never).
    void setGarbageEvery(unsigned measurementLines);
    // After this many more measurement lines, a run of bytes without line end (0: never).
    void setFloodAfter(unsigned measurementLines);
    // Called in the server's thread, under its lock, with each piece written to the
    // line and the time the write returned.
    using WriteObserver =
        std::function<void(std::string_view bytes, std::chrono::steady_clock::time_point at)>;
    void setWriteObserver(WriteObserver observer);

    uint64_t getMeasurementLinesSent();
    uint64_t getBytesWritten();
    // Whether the master side has been closed after a hang-up; and a wait for it,
    // which also ends when the server stops.
    bool isHungUp();
    bool waitForHangUp(std::chrono::milliseconds timeout);

private:
    void run_();
    void wake_() const;
    void onOutput_(std::string_view bytes);
    void flushOutput_();
    void updateTicker_();
    void armPacing_(std::chrono::milliseconds delay);
    void watchMaster_();
    bool unreadByClient_() const;
    void maybeHangUp_();
    void closeMaster_();

    int m_master_ = -1;
    int m_deviceHolder_ = -1;
    int m_epoll_ = -1;
    int m_wake_ = -1;
    int m_ticker_ = -1;
    int m_pacer_ = -1;
    int m_drainDeadline_ = -1;
    std::string m_devicePath_;
    std::thread m_thread_;

    std::mutex m_mutex_;
    std::condition_variable m_changed_;
    CSensorSimulator m_simulator_;
    std::string m_output_;
    bool m_stopping_ = false;
    bool m_hungUp_ = false;
    bool m_pacing_ = false;
    bool m_blocked_ = false;
    uint32_t m_masterEvents_ = 0; // as registered with the epoll set
    std::size_t m_splitChunk_ = 0;
    std::chrono::milliseconds m_splitGap_{0};
    unsigned m_garbageEvery_ = 0;
    uint64_t m_floodAtLine_ = 0;
    WriteObserver m_writeObserver_;
    std::chrono::microseconds m_tickPeriod_{0};
    std::chrono::steady_clock::time_point m_hangUpSince_;
    uint64_t m_bytesWritten_ = 0;
};

} // namespace SensorSim
