#include "TcpInterface.h"

#include "Application.h"
#include "LiveCounter.h"
#include "MessageQueue.h"
#include "SensorLibError.h"
#include "Synchronize.h"
#include "Thread.h"
#include "WSocket.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <typeinfo>
#include <utility>

namespace NorvEngineering::SensorLib {

using Sockets::TCustomWSocket;
using Sockets::TWSocket;

namespace {

constexpr int kReceiveSize = kInterfaceReceiveSize;

Platform::TLiveCounter& liveThreads() {
    static auto* instance = new Platform::TLiveCounter();
    return *instance;
}

// The text that the system gives for a Winsock code, or the code's name.
std::string connectFailureText(uint16_t code) {
    if (const int error = Sockets::WSocketWinsockToErrno(code); error != 0) {
        char buffer[256] = {};
        const char* text = strerror_r(error, buffer, sizeof buffer);
        if (text != nullptr && *text != '\0')
            return text;
    }
    switch (code) {
    case 10049:
        return "WSAEADDRNOTAVAIL";
    case 10060:
        return "WSAETIMEDOUT";
    case 10061:
        return "WSAECONNREFUSED";
    default:
        return "Unknown Error";
    }
}

} // namespace

// ---- the client thread ---------------------------------------------------------------

class CTcpInterface::TClientThread : public Platform::TThread {
public:
    TClientThread(Platform::TGuardedPtr<CTcpInterface> owner, std::shared_ptr<TDeliveryTurn> turn)
        : m_owner_(std::move(owner)), m_pTurn_(std::move(turn)), m_connection_(m_pTurn_->connection()) {
        liveThreads().enter();
        SetFreeOnTerminate(true);
        SetPriority(Platform::tpHighest);
    }

    ~TClientThread() override {
        detachFromOwner();
        std::shared_ptr<TWSocket> socket;
        {
            std::lock_guard lock(m_socketMutex_);
            socket = std::move(m_pSocket_);
        }
        if (socket) {
            // Closed and detached here, on the thread it belongs to; a writer in another
            // thread that still holds it only frees the memory.
            socket->OnDataAvailable = nullptr;
            socket->OnSessionConnected = nullptr;
            socket->OnSessionClosed = nullptr;
            try {
                socket->Close();
            } catch (...) {
            }
            try {
                socket->ThreadDetach();
            } catch (...) {
            }
        }
        socket.reset();
        // Counted out only once its queue's descriptors are closed too: whoever waits for
        // the client threads to end then finds their descriptors free.
        if (Platform::currentThreadId() == ThreadID())
            Platform::ThreadMessageQueue::endCurrent();
        liveThreads().leave();
    }

    std::shared_ptr<TWSocket> socket() const {
        std::lock_guard lock(m_socketMutex_);
        return m_pSocket_;
    }
    uint16_t connectResult() const { return m_connectResult_; }

    // Which delivery applies is looked at in the turn, as each notification starts: a
    // switch made while one runs takes effect from the next.
    void selectHandlers(bool /*sync*/) {
        const auto target = socket();
        if (!target)
            return;
        TClientThread* self = this;
        target->OnDataAvailable = [self](TCustomWSocket*, uint16_t) { self->deliverData(); };
        target->OnSessionConnected = [self](TCustomWSocket*, uint16_t code) {
            self->m_connectResult_ = code;
            self->deliver([self](CTcpInterface* owner) { owner->WSocketSessionConnected_(self); });
        };
        target->OnSessionClosed = [self](TCustomWSocket*, uint16_t) { self->deliverClose(); };
    }

    void quitLoop() {
        if (const auto target = socket())
            target->OnDataAvailable = nullptr;
        // The flag covers a quit that comes before the loop runs.
        m_quit_ = true;
        Platform::postThreadMessage(ThreadID(), Platform::WM_QUIT);
    }

    // The connection is over for the owner: it may open again at once.
    void detachFromOwner() {
        if (const auto owner = m_owner_.pin()) {
            std::lock_guard lock(owner->m_threadMutex_);
            if (owner->m_pClientThread_ == this)
                owner->m_pClientThread_ = nullptr;
        }
    }

    static void sendData(const std::shared_ptr<TWSocket>& target, const char* data, int length) {
        if (!target || target->GetState() != Sockets::wsConnected)
            return;
        try {
            target->Send(data, length);
            target->Flush();
        } catch (const Sockets::ESocketException&) {
            // The client thread closed the connection between the look and the send: the
            // bytes are dropped, as for any write after the close.
            if (target->GetState() == Sockets::wsConnected)
                throw;
        }
    }

protected:
    void Execute() override {
        std::shared_ptr<TWSocket> target;
        try {
            if (m_quit_)
                return;
            target = std::make_shared<TWSocket>(nullptr);
            {
                std::lock_guard lock(m_socketMutex_);
                m_pSocket_ = target;
            }
            target->SetMultiThreaded(true);
            target->SetProto("TCP");
            std::string address;
            int32_t port = 0;
            bool sync = true;
            {
                const auto owner = m_owner_.pin();
                if (!owner)
                    return;
                if (owner->m_pProperties_ != nullptr) {
                    address = owner->m_pProperties_->IpAddress;
                    port = owner->m_pProperties_->PortNumber;
                }
                sync = owner->getSyncEvents();
            }
            target->SetPort(std::to_string(port));
            target->SetAddr(address);
            target->SetComponentOptions(target->ComponentOptions() + Sockets::wsoTcpNoDelay);
            selectHandlers(sync);
            if (m_quit_)
                return;
            Sockets::WSocket_WSASetLastError(0);
            target->Connect();
            target->MessageLoop();
        } catch (const std::exception& e) {
            int32_t code = target ? target->LastError() : 0;
            if (code == 0)
                code = Sockets::WSocket_WSAGetLastError();
            reportSetupFailure(code, e.what());
        }
    }

private:
    // The socket could not be set up or connected: the owner hears of it, which it
    // would not otherwise, and may open again at once.
    void reportSetupFailure(int32_t code, const std::string& message) {
        if (m_owner_.ended())
            return;
        detachFromOwner();
        deliver([code, message](CTcpInterface* owner) {
            CInterfaceError error(code, message, "CTcpInterface::TClientThread::Execute");
            owner->notifyInterfaceError(error);
        });
    }

    enum class EOutcome : uint8_t { delivered, nested, gone };

    // Runs `call` as the transport's one notification of the moment, in the turn: on
    // the main thread while this thread waits when synchronised delivery is selected
    // (`mayHandToMain`), here otherwise. Pinned throughout; the main thread's release
    // or destruction does not wait for this thread while it runs this thread's call,
    // and a thread that waits for the turn gives up when the connection is released.
    template <typename Call>
    EOutcome inTurn(bool mayHandToMain, Call call) {
        const auto owner = m_owner_.pin();
        if (!owner)
            return EOutcome::gone;
        switch (m_pTurn_->enter(m_connection_)) {
        case TDeliveryTurn::EEnter::nested:
            return EOutcome::nested;
        case TDeliveryTurn::EEnter::cancelled:
            return EOutcome::gone;
        case TDeliveryTurn::EEnter::entered:
            break;
        }
        CTcpInterface* const transport = owner.get();
        const auto& turn = m_pTurn_;
        // Lets go also when the call throws.
        struct Leave {
            CTcpInterface* transport;
            const std::shared_ptr<TDeliveryTurn>& turn;
            ~Leave() { CTcpInterface::leaveTurn_(transport, turn); }
        };
        if (mayHandToMain && transport->getSyncEvents()) {
            // The transport is reached on the main thread only while this connection
            // lasts: released or destroyed while the call waited, it is not.
            Synchronize([&] {
                Leave leave{transport, turn};
                if (const auto pinned = m_owner_.pin())
                    call(pinned.get());
            });
        } else {
            Leave leave{transport, turn};
            call(transport);
        }
        return EOutcome::delivered;
    }

    // A notification raised by this thread's own message processing inside one that
    // runs here (a handler's write that waits) comes when that one has returned.
    template <typename Call>
    void deliver(Call call) {
        if (inTurn(true, call) == EOutcome::delivered)
            runOutermost();
    }

    // Which delivery applies is the transport's to say (WSocketDataAvailable_): with
    // synchronised delivery this thread hands the reading to the main thread.
    void deliverData() {
        m_dataDeferred_ = true;
        runOutermost();
    }

    // The close reads what is left, in the turn: nobody else reads meanwhile.
    void deliverClose() {
        m_closeDeferred_ = true;
        runOutermost();
    }

    // Runs the data and close events that wait, unless this thread is delivering
    // already: then the outermost delivery runs them once its notification returns.
    void runOutermost() {
        for (;;) {
            bool* waiting = m_dataDeferred_    ? &m_dataDeferred_
                            : m_closeDeferred_ ? &m_closeDeferred_
                                               : nullptr;
            if (waiting == nullptr)
                return;
            // Cleared first: the same event raised inside this delivery sets it again.
            *waiting = false;
            const EOutcome outcome =
                waiting == &m_dataDeferred_
                    ? inTurn(false, [this](CTcpInterface* owner) { owner->WSocketDataAvailable_(this); })
                    : inTurn(true, [this](CTcpInterface* owner) { owner->WSocketSessionClosed_(this); });
            if (outcome == EOutcome::nested) {
                *waiting = true;
                return;
            }
            if (outcome == EOutcome::gone) {
                m_dataDeferred_ = false;
                m_closeDeferred_ = false;
                return;
            }
        }
    }

public:
    // Whether the transport has ended this connection (released or destroyed it).
    bool ownerGone() const { return m_owner_.ended(); }

private:
    const Platform::TGuardedPtr<CTcpInterface> m_owner_;
    const std::shared_ptr<TDeliveryTurn> m_pTurn_;
    // The connection this thread delivers for: it gives up waiting for the turn once
    // the transport has released it or opened another.
    const uint64_t m_connection_;
    // This thread's own events that came inside its running notification; this thread only.
    bool m_dataDeferred_ = false;
    bool m_closeDeferred_ = false;
    mutable std::mutex m_socketMutex_;
    std::shared_ptr<TWSocket> m_pSocket_; // guarded by m_socketMutex_
    std::atomic<uint16_t> m_connectResult_{0};
    std::atomic<bool> m_quit_{false};
};

// ---- the transport ---------------------------------------------------------------------

CTcpInterface::CTcpInterface(TTcpProperties* properties, bool syncEvents)
    : CCustomInterface(itTcpSocket, syncEvents), m_pReceiveBuffer_(std::make_unique<char[]>(kReceiveSize)),
      m_pTurn_(std::make_shared<TDeliveryTurn>()), m_pProperties_(properties),
      m_dataCall_([this] { takeReceivedData_(); }) {}

CTcpInterface::~CTcpInterface() {
#ifndef NDEBUG
    if (m_bSubclass_ && isOpen())
        std::fputs("sensorlib: a subclass of CTcpInterface was destroyed while open: its notifications may "
                   "have run during its destruction; call releaseInterface() in its destructor\n",
                   stderr);
#endif
    releaseInterface();
    // Whoever still holds the turn (a handler that destroyed the transport) lets go of
    // it without touching the transport.
    m_pTurn_->markGone();
    // The socket may outlive this transport: it must not keep the reader it reads through.
    stopReadingHere_();
}

void CTcpInterface::endConnection_() {
    if (!m_pConnection_)
        return;
    m_pConnection_->end();
    m_pConnection_.reset();
}

void CTcpInterface::initInterface_() {
    {
        std::lock_guard lock(m_threadMutex_);
        if (m_pClientThread_ != nullptr)
            return;
    }
    stopReadingHere_();
    // The thread of a connection that ended by itself may still be on its way out.
    endConnection_();
    m_reader_ = EReader::client;
    m_pTurn_->newConnection();
    auto connection = std::make_unique<Platform::TLifetime>();
    TClientThread* thread = nullptr;
    try {
        thread = new TClientThread(Platform::TGuardedPtr<CTcpInterface>(this, connection->ref()), m_pTurn_);
    } catch (const std::system_error& e) {
        // Out of threads or descriptors: this connection fails, nothing else does.
        const int32_t code = Sockets::WSocketErrnoToWinsock(e.code().value());
        CInterfaceError error(code, connectFailureText(static_cast<uint16_t>(code)),
                              "CTcpInterface::initInterface_");
        notifyInterfaceError(error);
        return;
    }
    m_pConnection_ = std::move(connection);
    m_bSubclass_ = typeid(*this) != typeid(CTcpInterface);
    {
        std::lock_guard lock(m_threadMutex_);
        m_pClientThread_ = thread;
    }
    thread->selectHandlers(getSyncEvents());
    thread->Resume();
}

void CTcpInterface::releaseInterface() {
    // The main thread's watch goes before the client thread may close the socket.
    stopReadingHere_();
    bool wasOpen = false;
    {
        std::lock_guard lock(m_threadMutex_);
        if (m_pClientThread_ != nullptr) {
            wasOpen = true;
            if (const auto target = m_pClientThread_->socket())
                target->DropTakenOverReading();
            // The thread ends by itself; from now on the transport is closed and may
            // open again.
            m_pClientThread_->quitLoop();
            m_pClientThread_ = nullptr;
        }
    }
    if (wasOpen) {
        // Notifications of this connection that wait for the turn give up; one that
        // runs on the main thread now ends before a release from another thread
        // returns (the main thread itself is the one running it, or is not).
        m_pTurn_->newConnection();
        if (!Platform::isMainThread())
            m_pTurn_->waitUntilFree();
    }
    // Outside the lock: a direct delivery that is waited for here may write.
    endConnection_();
}

void CTcpInterface::setSyncEvents(bool sync) {
    CCustomInterface::setSyncEvents(sync);
    {
        std::lock_guard lock(m_threadMutex_);
        if (m_pClientThread_ != nullptr)
            m_pClientThread_->selectHandlers(sync);
    }
    // Towards synchronised delivery the client thread lets go with its next data.
    // Towards direct delivery the reading goes back now, on this thread, unless a
    // notification runs: then its deliverer hands it back as it returns.
    if (!sync && m_reader_.load() != EReader::client) {
        const auto turn = m_pTurn_;
        if (turn->tryEnterToHandBack()) {
            handBack_();
            leaveTurn_(this, turn);
        }
    }
}

void CTcpInterface::write(const char* data, int length) {
    std::shared_ptr<TWSocket> target;
    {
        std::lock_guard lock(m_threadMutex_);
        if (m_pClientThread_ == nullptr)
            return;
        target = m_pClientThread_->socket();
    }
    // Without the lock: a write that waits for the socket must not hold up the thread.
    TClientThread::sendData(target, data, length);
}

bool CTcpInterface::isOpen() const {
    std::lock_guard lock(m_threadMutex_);
    return m_pClientThread_ != nullptr;
}

void CTcpInterface::leaveTurn_(CTcpInterface* self, const std::shared_ptr<TDeliveryTurn>& turn) {
    bool missedRead = false;
    for (;;) {
        if (turn->gone()) {
            turn->leave(missedRead);
            return;
        }
        if (!self->getSyncEvents() && self->m_reader_.load() != EReader::client)
            self->handBack_();
        if (turn->leave(missedRead))
            break;
    }
    // After letting go: asked while still holding the turn, the call could run at once
    // on the main thread and miss it again.
    if (missedRead && self->m_reader_.load() != EReader::client)
        self->m_dataCall_.request();
}

void CTcpInterface::WSocketDataAvailable_(TClientThread* thread) {
    // An event that came before the reading was let go of, or in between.
    if (m_reader_.load() != EReader::client)
        return;
    if (getSyncEvents() && std::exchange(m_bTakeOverRefused_, false)) {
        receiveForMain_(thread);
        return;
    }
    if (getSyncEvents()) {
        // The client thread does not wait for the main thread to take the data: a wait
        // would cost a sleep and a wake-back per chunk on top of the one hop. From now
        // on the socket's data wakes the main thread itself (takeReceivedData_).
        m_reader_ = EReader::handingToMain;
        m_dataCall_.request();
        return;
    }
    receive_(thread->socket());
}

void CTcpInterface::takeReceivedData_() {
    if (m_reader_.load() == EReader::client)
        return;
    // Kept here: a handler may destroy the transport, and the turn must still be let go.
    const auto turn = m_pTurn_;
    if (!turn->tryEnterToRead())
        return; // a notification runs: its deliverer asks for this call again
    struct Leave {
        CTcpInterface* self;
        const std::shared_ptr<TDeliveryTurn>& turn;
        ~Leave() { leaveTurn_(self, turn); }
    } leave{this, turn};
    // Direct delivery selected meanwhile: the turn is let go by handing back.
    if (!getSyncEvents())
        return;
    switch (m_reader_.load()) {
    case EReader::client:
        return;
    case EReader::main:
        readHere_();
        return;
    case EReader::handingToMain:
        break;
    }
    std::shared_ptr<TWSocket> target;
    {
        std::lock_guard lock(m_threadMutex_);
        // A connection that has ended left nothing to take here; its close delivered
        // what it had.
        if (m_pClientThread_ == nullptr)
            return;
        target = m_pClientThread_->socket();
    }
    if (!target)
        return;
    stopReadingHere_();
    // A watch event always finds the transport: the watch goes on the main thread
    // before the transport does (release, destruction), and with it any event still
    // pending.
    const bool taken = target->TakeOverReading(m_takenOverRead_, [this](uint32_t) {
        try {
            takeReceivedData_();
        } catch (...) {
            // As for the data call: the main thread's loop hears of it, and the reading
            // goes on.
            Platform::Application().HandleException(std::current_exception());
        }
    });
    if (!taken) {
        // The connection is closing (its close reads what is left), or the main thread
        // cannot watch it: the client thread goes on reading.
        m_bTakeOverRefused_ = target->GetState() == Sockets::wsConnected;
        handBack_();
        return;
    }
    {
        std::lock_guard lock(m_threadMutex_);
        m_pReading_ = target;
    }
    m_reader_ = EReader::main;
    readHere_();
}

void CTcpInterface::readHere_() {
    char* buffer = m_pReceiveBuffer_.get();
    const int count = TWSocket::ReceiveTakenOver(m_takenOverRead_, buffer, kReceiveSize);
    if (count <= 0)
        return; // nothing waited, or the connection is closing: its close says so
    // A full buffer may have left data behind, which no new edge reports: the event
    // comes again, behind what else waits for the main thread. Asked before the
    // notification, which may end this transport.
    if (count == kReceiveSize)
        m_dataCall_.request();
    notifyDataReceived(buffer, static_cast<unsigned int>(count));
}

void CTcpInterface::handBack_() {
    std::shared_ptr<TWSocket> target;
    {
        std::lock_guard lock(m_threadMutex_);
        target = std::move(m_pReading_);
        if (!target && m_pClientThread_ != nullptr)
            target = m_pClientThread_->socket();
    }
    // Before the socket raises its next data event, which the client thread takes
    // only from here on (and only once the turn is let go).
    m_reader_ = EReader::client;
    if (target)
        target->ResumeReadEvents();
}

void CTcpInterface::stopReadingHere_() {
    std::shared_ptr<TWSocket> reading;
    {
        std::lock_guard lock(m_threadMutex_);
        reading = std::move(m_pReading_);
    }
    if (reading)
        reading->DropTakenOverReading();
}

int CTcpInterface::receiveOne_(const std::shared_ptr<TWSocket>& target) {
    if (!target || target->GetState() != Sockets::wsConnected)
        return 0;
    return std::max(target->Receive(m_pReceiveBuffer_.get(), kReceiveSize), 0);
}

void CTcpInterface::receive_(const std::shared_ptr<TWSocket>& target) {
    const int count = receiveOne_(target);
    if (count == 0)
        return;
    char* buffer = m_pReceiveBuffer_.get();
    // A receiver's failure ends this read: the socket's receive loop drops it without a
    // word, and the connection goes on (with synchronised delivery it reaches the main
    // thread's loop instead, Application().HandleException).
    notifyDataReceived(buffer, static_cast<unsigned int>(count));
}

void CTcpInterface::receiveForMain_(TClientThread* thread) {
    const int count = receiveOne_(thread->socket());
    if (count == 0)
        return;
    char* buffer = m_pReceiveBuffer_.get();
    // As the main thread's own reads: a receiver's failure goes to its loop. Released
    // or destroyed while the call waited, the transport is not reached.
    Platform::synchronize([&] {
        if (thread->ownerGone())
            return;
        try {
            notifyDataReceived(buffer, static_cast<unsigned int>(count));
        } catch (...) {
            Platform::Application().HandleException(std::current_exception());
        }
    });
}

void CTcpInterface::WSocketSessionConnected_(TClientThread* thread) {
    const uint16_t code = thread->connectResult();
    if (code == 0) {
        notifyInterfaceReady();
        return;
    }
    CInterfaceError error(code, connectFailureText(code), "CTcpInterface::WSocketSessionConnected_");
    notifyInterfaceError(error);
    thread->quitLoop();
}

void CTcpInterface::WSocketSessionClosed_(TClientThread* thread) {
    thread->quitLoop();
    // Nobody else reads now: the close holds the turn, and reads what is left itself.
    stopReadingHere_();
    m_reader_ = EReader::client;
    if (const auto target = thread->socket()) {
        target->DropTakenOverReading();
        // Everything the peer sent before it closed comes before the release, also what
        // a data call still pending on the main thread has not taken yet.
        char* buffer = m_pReceiveBuffer_.get();
        for (int count; (count = target->Receive(buffer, kReceiveSize)) > 0;) {
            try {
                notifyDataReceived(buffer, static_cast<unsigned int>(count));
            } catch (...) {
                // The release below must still come: the failure is handled as the
                // main thread's loop handles one of the posted call.
                Platform::Application().HandleException(std::current_exception());
            }
            // Released or destroyed by the receiver: nothing more is said.
            if (thread->ownerGone())
                return;
        }
        target->WaitForClose();
    }
    // The connection is over: the owner may open again from the notification on.
    thread->detachFromOwner();
    notifyInterfaceReleased();
}

int CTcpInterface::liveClientThreads() {
    return liveThreads().count();
}

bool CTcpInterface::waitForClientThreads(std::chrono::milliseconds timeout) {
    return liveThreads().waitForNone(timeout);
}

} // namespace NorvEngineering::SensorLib
