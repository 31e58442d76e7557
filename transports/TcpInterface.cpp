#include "TcpInterface.h"

#include "Application.h"
#include "LiveCounter.h"
#include "MessageQueue.h"
#include "SensorLibError.h"
#include "Thread.h"
#include "WSocket.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <typeinfo>

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
    explicit TClientThread(Platform::TGuardedPtr<CTcpInterface> owner) : m_owner_(std::move(owner)) {
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

    void selectHandlers(bool sync) {
        const auto target = socket();
        if (!target)
            return;
        TClientThread* self = this;
        target->OnDataAvailable = [self](TCustomWSocket*, uint16_t) { self->deliverData(); };
        target->OnSessionConnected = [self, sync](TCustomWSocket*, uint16_t code) {
            self->m_connectResult_ = code;
            self->deliver(sync, &CTcpInterface::WSocketSessionConnected_);
        };
        target->OnSessionClosed = [self, sync](TCustomWSocket*, uint16_t) { self->deliverClose(sync); };
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
        bool sync = true;
        {
            const auto owner = m_owner_.pin();
            if (!owner)
                return;
            sync = owner->getSyncEvents();
        }
        detachFromOwner();
        runDelivery(sync, [code, message](CTcpInterface* owner) {
            CInterfaceError error(code, message, "CTcpInterface::TClientThread::Execute");
            owner->notifyInterfaceError(error);
        });
    }

    // With synchronised delivery the owner is pinned on the main thread, inside the
    // call: a transport destroyed while the call waited is simply not reached.
    template <typename Call>
    void runDelivery(bool sync, Call call) {
        auto run = [this, call] {
            if (const auto owner = m_owner_.pin())
                call(owner.get());
        };
        if (sync)
            Synchronize(run);
        else
            run();
    }

    void deliver(bool sync, void (CTcpInterface::*handler)(TClientThread*)) {
        runDelivery(sync, [this, handler](CTcpInterface* owner) { (owner->*handler)(this); });
    }

    // Which delivery applies is the transport's to say (WSocketDataAvailable_): with
    // synchronised delivery this thread does not read at all, the main thread does.
    void deliverData() {
        if (const auto owner = m_owner_.pin())
            owner->WSocketDataAvailable_(this);
    }

    // The close reads what is left: it runs here only while this thread holds the
    // reading, and otherwise on the main thread, while this one waits.
    void deliverClose(bool sync) {
        if (!sync) {
            const auto owner = m_owner_.pin();
            sync = owner && owner->m_reader_.load() != EReader::client;
        }
        deliver(sync, &CTcpInterface::WSocketSessionClosed_);
    }

public:
    // Whether the transport has ended this connection (released or destroyed it).
    bool ownerGone() const { return m_owner_.ended(); }

private:
    const Platform::TGuardedPtr<CTcpInterface> m_owner_;
    mutable std::mutex m_socketMutex_;
    std::shared_ptr<TWSocket> m_pSocket_; // guarded by m_socketMutex_
    std::atomic<uint16_t> m_connectResult_{0};
    std::atomic<bool> m_quit_{false};
};

// ---- the transport ---------------------------------------------------------------------

CTcpInterface::CTcpInterface(TTcpProperties* properties, bool syncEvents)
    : CCustomInterface(itTcpSocket, syncEvents), m_pReceiveBuffer_(std::make_unique<char[]>(kReceiveSize)),
      m_pProperties_(properties), m_dataCall_([this] { takeReceivedData_(); }) {}

CTcpInterface::~CTcpInterface() {
#ifndef NDEBUG
    if (m_bSubclass_ && isOpen())
        std::fputs("sensorlib: a subclass of CTcpInterface was destroyed while open: its notifications may "
                   "have run during its destruction; call releaseInterface() in its destructor\n",
                   stderr);
#endif
    releaseInterface();
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
    if (Platform::isMainThread())
        stopReadingHere_();
    // The thread of a connection that ended by itself may still be on its way out.
    endConnection_();
    m_reader_ = EReader::client;
    auto connection = std::make_unique<Platform::TLifetime>();
    TClientThread* thread = nullptr;
    try {
        thread = new TClientThread(Platform::TGuardedPtr<CTcpInterface>(this, connection->ref()));
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
    if (Platform::isMainThread())
        stopReadingHere_();
    {
        std::lock_guard lock(m_threadMutex_);
        if (m_pClientThread_ != nullptr) {
            if (const auto target = m_pClientThread_->socket())
                target->DropTakenOverReading();
            // The thread ends by itself; from now on the transport is closed and may
            // open again.
            m_pClientThread_->quitLoop();
            m_pClientThread_ = nullptr;
        }
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
    // Towards synchronised delivery the client thread lets go with its next data. The
    // main thread hands its reading back at once; asked from another thread, it does so
    // in the data call.
    if (!sync && m_reader_.load() != EReader::client) {
        if (Platform::isMainThread())
            takeReceivedData_();
        else
            m_dataCall_.request();
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

void CTcpInterface::WSocketDataAvailable_(TClientThread* thread) {
    // An event that came before the reading was let go of, or in between.
    if (m_reader_.load() != EReader::client)
        return;
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
    switch (m_reader_.load()) {
    case EReader::client:
        return;
    case EReader::main:
        if (getSyncEvents())
            readHere_();
        else
            handBack_(m_pReading_);
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
    if (!getSyncEvents()) {
        handBack_(target);
        return;
    }
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
        handBack_(target);
        return;
    }
    m_pReading_ = target;
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

void CTcpInterface::handBack_(std::shared_ptr<TWSocket> target) {
    m_pReading_.reset();
    // Before the socket raises its next data event, which the client thread takes
    // only from here on.
    m_reader_ = EReader::client;
    if (target)
        target->ResumeReadEvents();
}

void CTcpInterface::stopReadingHere_() {
    if (const auto reading = std::move(m_pReading_))
        reading->DropTakenOverReading();
}

void CTcpInterface::receive_(const std::shared_ptr<TWSocket>& target) {
    if (!target || target->GetState() != Sockets::wsConnected)
        return;
    char* buffer = m_pReceiveBuffer_.get();
    const int count = target->Receive(buffer, kReceiveSize);
    if (count <= 0)
        return;
    // A receiver's failure goes to the socket's background handling.
    notifyDataReceived(buffer, static_cast<unsigned int>(count));
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
    // Nobody else reads now: this thread held the reading, or the client thread waits
    // for this call on the main thread.
    if (Platform::isMainThread())
        stopReadingHere_();
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
