#include "WSocketAsyncLookup.h"

#include "MessageTarget.h"
#include "WSocketBinding.h"
#include "WSocketErrors.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace NorvEngineering::Sockets {

namespace {

// A slow name service must not hold every look-up of the process behind one request,
// nor may a burst of look-ups start a thread each.
constexpr int kMaxWorkers = 4;

struct Request {
    TLookupHandle handle;
    Platform::TWindowHandle target;
    uint32_t message;
    bool byName;
    std::string name;
    uint32_t address;
};

TLookupResult lookUp(const Request& request) {
    TLookupResult result;
    if (request.byName) {
        const hostent* entry = WSocket_gethostbyname(request.name.c_str());
        if (entry == nullptr) {
            result.error = WSocket_WSAGetLastError();
            return result;
        }
        for (char** item = entry->h_addr_list; item != nullptr && *item != nullptr; ++item) {
            in_addr address{};
            std::memcpy(&address, *item, sizeof address);
            result.names.emplace_back(WSocket_inet_ntoa(address));
        }
        return result;
    }
    const hostent* entry = WSocket_gethostbyaddr(&request.address, sizeof request.address, AF_INET);
    if (entry == nullptr) {
        result.error = WSocket_WSAGetLastError();
        return result;
    }
    result.names.emplace_back(entry->h_name != nullptr ? entry->h_name : "");
    for (char** alias = entry->h_aliases; alias != nullptr && *alias != nullptr; ++alias)
        if (**alias != '\0')
            result.names.emplace_back(*alias);
    return result;
}

// Never destroyed: a worker may still be finishing a look-up while the program ends.
class LookupPool {
public:
    TLookupHandle start(Request request) {
        std::lock_guard lock(m_mutex_);
        request.handle = m_next_++;
        const TLookupHandle handle = request.handle;
        m_live_[handle] = Reply{request.target, request.message};
        m_queue_.push_back(std::move(request));
        if (m_workers_ < kMaxWorkers) {
            try {
                std::thread([this] { work(); }).detach();
                ++m_workers_;
            } catch (const std::system_error&) {
                if (m_workers_ == 0) {
                    // Nobody would ever run it.
                    m_queue_.pop_back();
                    m_live_.erase(handle);
                    WSocket_WSASetLastError(WSAENOBUFS);
                    return 0;
                }
            }
        }
        return handle;
    }

    bool cancel(TLookupHandle handle) {
        std::lock_guard lock(m_mutex_);
        m_results_.erase(handle);
        std::erase_if(m_queue_, [&](const Request& request) { return request.handle == handle; });
        return m_live_.erase(handle) != 0;
    }

    bool take(TLookupHandle handle, TLookupResult& result) {
        std::lock_guard lock(m_mutex_);
        const auto found = m_results_.find(handle);
        if (found == m_results_.end())
            return false;
        result = std::move(found->second);
        m_results_.erase(found);
        m_live_.erase(handle);
        return true;
    }

    bool retarget(TLookupHandle handle, Platform::TWindowHandle target) {
        std::lock_guard lock(m_mutex_);
        const auto live = m_live_.find(handle);
        if (live == m_live_.end())
            return false;
        live->second.target = target;
        if (const auto done = m_results_.find(handle); done != m_results_.end())
            postReply(handle, done->second.error);
        return true;
    }

    int workers() {
        std::lock_guard lock(m_mutex_);
        return m_workers_;
    }

private:
    void work() {
        std::unique_lock lock(m_mutex_);
        while (!m_queue_.empty()) {
            const Request request = std::move(m_queue_.front());
            m_queue_.pop_front();
            lock.unlock();
            TLookupResult result;
            try {
                result = lookUp(request);
            } catch (...) {
                // The binding refused to start, or memory ran out: the look-up fails,
                // the worker goes on.
                result = TLookupResult{WSANO_RECOVERY, {}};
            }
            lock.lock();
            if (!m_live_.contains(request.handle))
                continue; // cancelled meanwhile: nobody waits for it
            const int32_t error = result.error;
            m_results_[request.handle] = std::move(result);
            postReply(request.handle, error);
        }
        --m_workers_;
    }

    // Under the lock. A look-up whose owner is between threads (no target) keeps its
    // result until the owner says where it lives now.
    void postReply(TLookupHandle handle, int32_t error) {
        const Reply reply = m_live_.at(handle);
        if (reply.target == 0)
            return;
        if (!Platform::postMessage(reply.target, reply.message, handle,
                                   static_cast<intptr_t>((static_cast<uint32_t>(error) & 0xFFFF) << 16))) {
            // The target is gone: nobody will take the result.
            m_results_.erase(handle);
            m_live_.erase(handle);
        }
    }

    struct Reply {
        Platform::TWindowHandle target;
        uint32_t message;
    };

    std::mutex m_mutex_;
    std::deque<Request> m_queue_;
    std::unordered_map<TLookupHandle, Reply> m_live_;
    std::unordered_map<TLookupHandle, TLookupResult> m_results_;
    TLookupHandle m_next_ = 1;
    int m_workers_ = 0;
};

LookupPool& pool() {
    static auto* instance = new LookupPool();
    return *instance;
}

} // namespace

TLookupHandle WSocket_WSAAsyncGetHostByName(Platform::TWindowHandle target, uint32_t message,
                                            const std::string& name) {
    if (target == 0) {
        WSocket_WSASetLastError(WSAEINVAL);
        return 0;
    }
    return pool().start(Request{0, target, message, true, name, 0});
}

TLookupHandle WSocket_WSAAsyncGetHostByAddr(Platform::TWindowHandle target, uint32_t message,
                                            uint32_t address) {
    if (target == 0) {
        WSocket_WSASetLastError(WSAEINVAL);
        return 0;
    }
    return pool().start(Request{0, target, message, false, {}, address});
}

int WSocket_WSACancelAsyncRequest(TLookupHandle handle) {
    if (handle == 0 || !pool().cancel(handle)) {
        WSocket_WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    return 0;
}

bool WSocketTakeLookupResult(TLookupHandle handle, TLookupResult& result) {
    return pool().take(handle, result);
}

bool WSocketRetargetLookup(TLookupHandle handle, Platform::TWindowHandle target) {
    return pool().retarget(handle, target);
}

int WSocketLookupThreadCount() {
    return pool().workers();
}

} // namespace NorvEngineering::Sockets
