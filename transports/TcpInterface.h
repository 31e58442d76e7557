#pragma once

#include "CustomInterfaces.h"
#include "DeliveryTurn.h"
#include "Lifetime.h"
#include "PostedCall.h"
#include "TakenOverRead.h"

#include <atomic>
#include <chrono>
#include <cstdint>
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
// One notification at a time: whatever a handler does (pump the main thread's loop,
// write, switch the delivery, release), no other notification of this transport starts
// before it has returned; the next comes after it, in order. A switch of the delivery
// takes effect from the next notification on.
//
// Lifetime: each connection is a Platform::TLifetime that the client thread reaches its
// transport through. Releasing or destroying the transport ends it: the thread ends by
// itself and never reaches a transport that has gone, also when it is connecting or
// waiting to deliver on the main thread; a direct delivery running at that moment in
// the client thread is waited for.
//
// A subclass that overrides the notifications must call releaseInterface() in its own
// destructor: the wait for a direct delivery in progress comes with this class's
// destructor, when the subclass's part of the object (its overrides among it) is gone
// already. Debug builds say so on standard error when a subclass is destroyed open.
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

    // Which thread reads the connection. Exactly one does, and it changes only while
    // the delivery turn is held: the client thread, when its data event finds
    // synchronised delivery selected, lets go (handingToMain) and asks for the data
    // call; the main thread, in that call, takes the reading over (main). Whoever holds
    // the turn when direct delivery is selected hands it back (client) before it lets go.
    enum class EReader : uint8_t { client, handingToMain, main };

    void endConnection_();
    // The data call, and the main thread's watch of the socket it reads: in the turn,
    // takes the reading over when the client thread let go, and reads one buffer.
    void takeReceivedData_();
    // One read of at most one buffer on the main thread, which holds the reading; the
    // data call is asked for again while data may remain.
    void readHere_();
    // The reading goes back to the client thread (in the turn).
    void handBack_();
    // Ends the main thread's watch of the socket it reads, without handing it back.
    void stopReadingHere_();
    // Lets go of the turn: first hands the reading back when direct delivery was
    // selected while it was held, then asks for the main thread's read it missed.
    // Without touching the transport when a handler destroyed it.
    static void leaveTurn_(CTcpInterface* self, const std::shared_ptr<TDeliveryTurn>& turn);
    // One buffer from the connected socket into the receive buffer, on the thread that
    // reads it; 0 when nothing came.
    int receiveOne_(const std::shared_ptr<Sockets::TWSocket>& target);
    // Reads one buffer on the thread that holds the reading and hands it on.
    void receive_(const std::shared_ptr<Sockets::TWSocket>& target);
    // Reads one buffer on the client thread and delivers it on the main thread, while
    // the client thread waits.
    void receiveForMain_(TClientThread* thread);

    // First, next to the contract's own members: what a data event on the main thread
    // touches, so that with a thousand connections it finds little cold.
    std::unique_ptr<char[]> m_pReceiveBuffer_;
    Sockets::TTakenOverRead m_takenOverRead_;
    // Whoever delivers a notification of this transport holds it; shared with the
    // client threads.
    const std::shared_ptr<TDeliveryTurn> m_pTurn_;
    // Of the current connection; set back to the client thread by each open.
    std::atomic<EReader> m_reader_{EReader::client};
    // The main thread could not watch the socket (no watch left for it): the client
    // thread reads the next chunk itself and waits while the main thread delivers it,
    // so that the data never stops, nor bounces between the threads unread. In the turn.
    bool m_bTakeOverRefused_ = false;
    // Opened as a subclass, whose destructor must release (see above).
    bool m_bSubclass_ = false;
    mutable std::mutex m_threadMutex_;
    TClientThread* m_pClientThread_ = nullptr; // guarded by m_threadMutex_
    // The socket whose reading the main thread has taken over; guarded by m_threadMutex_.
    std::shared_ptr<Sockets::TWSocket> m_pReading_;
    // The life of the current (or last) connection; touched by the owner's thread only.
    std::unique_ptr<Platform::TLifetime> m_pConnection_;
    TTcpProperties* m_pProperties_;
    // Made and destroyed on the owner's (main) thread; client threads request it only
    // under their connection's pin.
    Platform::TPostedCall m_dataCall_;
};

} // namespace NorvEngineering::SensorLib
