#pragma once

#include "CustomInterfaces.h"
#include "Lifetime.h"
#include "PostedCall.h"
#include "TakenOverRead.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

namespace NorvEngineering::Sockets {
class TWSocket;
}

namespace NorvEngineering::SensorLib {

// The TCP client transport. Each open runs one client thread of its own, which creates
// the socket, connects and runs the socket's message loop for as long as the
// connection lives. Its events reach the contract's notifications on the main thread
// (synchronised delivery) or directly in the client thread. With synchronised delivery
// the main thread reads the connection's data itself, woken by the socket in its own
// wait; the client thread is not woken by data. Commands are written from the
// caller's thread.
//
// Lifetime: each connection is a Platform::TLifetime that the client thread reaches its
// transport through. Releasing or destroying the transport ends it: the thread ends by
// itself and never reaches a transport that has gone, also when it is connecting or
// waiting to deliver on the main thread; a direct delivery running at that moment in
// the client thread is waited for.
//
// When the system has no thread or no descriptor left for a connection, the open
// reports an interface error with the system's code and text (place
// "CTcpInterface::initInterface_") and the transport stays closed.
class CTcpInterface : public CCustomInterface {
public:
    class TClientThread;

    CTcpInterface(TTcpProperties* properties, bool syncEvents);
    ~CTcpInterface() override;

    void write(const char* data, int length) override;
    void initInterface_() override;
    void releaseInterface() override;
    void setSyncEvents(bool sync) override;

    // The socket's handlers, each called with the thread whose socket raised the event.
    void WSocketDataAvailable_(TClientThread* thread);
    void WSocketSessionConnected_(TClientThread* thread);
    void WSocketSessionClosed_(TClientThread* thread);

    // Whether a client thread works for this transport (connecting or connected).
    bool isOpen() const;
    // Client threads of all transports that have not ended yet; and a wait for them
    // all to end (on the main thread, synchronised calls keep running meanwhile).
    static int liveClientThreads();
    static bool waitForClientThreads(std::chrono::milliseconds timeout);

private:
    friend class TClientThread;

    void endConnection_();
    // The synchronised hand-over of received data (the posted call): reads one buffer
    // on the main thread from the socket of the current connection. The first one of
    // a connection takes the socket's reading over to the main thread, which from then
    // on watches the data in its own wait (readHere_).
    void takeReceivedData_();
    // One data event on the main thread, for a socket whose reading it has taken over:
    // one read of at most one buffer, raised again (the posted call) while data may
    // remain.
    void readHere_();
    // Ends the main thread's reading of the current socket; `handBack`: the client
    // thread reads from now on (direct delivery).
    void stopReadingHere_(bool handBack);
    // Reads one buffer and hands it on. `paced`: on the main thread, where a read that
    // may have left data behind asks for the posted call again instead of an FD_READ.
    void receive_(const std::shared_ptr<Sockets::TWSocket>& target, bool paced);

    // First, next to the contract's own members: what a data event on the main thread
    // touches, so that with a thousand connections it finds little cold.
    std::unique_ptr<char[]> m_pReceiveBuffer_;
    Sockets::TTakenOverRead m_takenOverRead_;
    // The socket whose reading the main thread has taken over; main thread only.
    std::shared_ptr<Sockets::TWSocket> m_pReading_;
    mutable std::mutex m_threadMutex_;
    TClientThread* m_pClientThread_ = nullptr; // guarded by m_threadMutex_
    // The life of the current (or last) connection; touched by the owner's thread only.
    std::unique_ptr<Platform::TLifetime> m_pConnection_;
    TTcpProperties* m_pProperties_;
    // Made and destroyed on the owner's (main) thread; client threads request it only
    // under their connection's pin.
    Platform::TPostedCall m_dataCall_;
};

} // namespace NorvEngineering::SensorLib
