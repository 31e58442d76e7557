// The lifetime guard that every worker of the transports reaches its owner through,
// and the main thread's share-out of synchronised calls. Meant to be run under
// ThreadSanitizer as well: a pin that does not hold the end back shows up there.
#include "DescriptorsUsedUp.h"
#include "Platform.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <latch>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

using namespace NorvEngineering::Platform;
using namespace std::chrono_literals;

namespace {

// An object that workers use only under a pin: touching it after its end is a
// use after free that the sanitizers see, and a count that the test sees.
struct Guarded {
    std::atomic<int> inside{0};
    std::atomic<int> touches{0};
    TLifetime life;
};

class BodyThread : public TThread {
public:
    explicit BodyThread(std::function<void()> body) : m_body_(std::move(body)) {}
    ~BodyThread() override { TerminateAndWaitFor(); }

protected:
    void Execute() override { m_body_(); }

private:
    std::function<void()> m_body_;
};

} // namespace

TEST(Lifetime, EndWaitsForPinsOfOtherThreadsAndRefusesNewOnes) {
    for (const bool endOnMain : {true, false}) {
        auto object = std::make_unique<Guarded>();
        const TGuardedPtr<Guarded> pointer(object.get(), object->life.ref());
        std::atomic<bool> stop{false};
        std::atomic<int> refused{0};
        std::latch underWay(4);
        std::vector<std::thread> workers;
        for (int w = 0; w < 4; ++w)
            workers.emplace_back([&] {
                bool counted = false;
                while (!stop) {
                    if (const auto pinned = pointer.pin()) {
                        ++pinned->inside;
                        ++pinned->touches;
                        --pinned->inside;
                    } else {
                        ++refused;
                        std::this_thread::yield();
                    }
                    if (!counted) {
                        underWay.count_down();
                        counted = true;
                    }
                }
            });
        underWay.wait();
        auto end = [&] {
            object->life.end();
            // Nobody is inside once end() has returned, and nobody gets in again.
            EXPECT_EQ(object->inside.load(), 0);
            const int touches = object->touches.load();
            object.reset();
            EXPECT_GT(touches, 0);
        };
        if (endOnMain) {
            end();
        } else {
            std::thread ender(end);
            ender.join();
        }
        stop = true;
        for (auto& worker : workers)
            worker.join();
        EXPECT_TRUE(pointer.ended());
        EXPECT_FALSE(pointer.pin());
    }
}

TEST(Lifetime, NeitherTheCallingThreadNorTheCallerOfTheRunningSynchronisedCallIsWaitedFor) {
    // The owner ends the lifetime from inside its own pinned callback.
    auto own = std::make_unique<TLifetime>();
    const auto ownRef = own->ref();
    {
        const auto pin = ownRef.pin();
        ASSERT_TRUE(pin);
        own.reset();
        EXPECT_TRUE(ownRef.ended());
    }

    // A worker holds a pin and asks the main thread to end the lifetime: the main
    // thread must not wait for it, and the worker learns of the end afterwards.
    auto object = std::make_unique<Guarded>();
    const TGuardedPtr<Guarded> pointer(object.get(), object->life.ref());
    std::atomic<bool> sawEnd{false};
    BodyThread worker([&] {
        const auto pinned = pointer.pin();
        ASSERT_TRUE(pinned);
        synchronize([&] { object.reset(); });
        sawEnd = pointer.ended();
    });
    worker.Resume();
    EXPECT_TRUE(Application().RunUntil([&] { return worker.Completion()->finished(); }, 10s));
    EXPECT_TRUE(sawEnd);
}

TEST(Lifetime, EndOnTheMainThreadRunsTheSynchronisedCallsOfPinHolders) {
    // Destroyed while a worker waits in Synchronize: before the call ran (it then
    // finds the object gone), or while its pin is held and the call is queued.
    for (int round = 0; round < 50; ++round) {
        auto object = std::make_unique<Guarded>();
        const TGuardedPtr<Guarded> pointer(object.get(), object->life.ref());
        std::atomic<int> reached{0};
        std::atomic<int> started{0};
        std::vector<std::unique_ptr<BodyThread>> workers;
        for (int w = 0; w < 4; ++w) {
            const bool holdsPin = w % 2 == 0;
            workers.push_back(std::make_unique<BodyThread>([&, holdsPin] {
                TLifetimePin held;
                if (holdsPin)
                    held = pointer.life().pin();
                ++started;
                synchronize([&] {
                    if (const auto pinned = pointer.pin()) {
                        ++pinned->touches;
                        ++reached;
                    }
                });
            }));
            workers.back()->Resume();
        }
        if (round % 2 == 0) {
            ASSERT_TRUE(Application().RunUntil([&] { return started == 4; }, 10s));
        }
        object->life.end(); // must not deadlock on the pins of workers in Synchronize
        object.reset();
        for (auto& worker : workers)
            worker->WaitFor();
        EXPECT_LE(reached, 4);
    }
}

TEST(Synchronize, AStreamOfCallsNeverStarvesTheMainThreadsMessages) {
    struct Target : TMessageTarget {
        std::atomic<int>* calls;
        int callsBefore = -1;
        void handleMessage(TMessage&) override { callsBefore = calls->load(); }
    };
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<BodyThread>> flood;
    for (int t = 0; t < 48; ++t) {
        flood.push_back(std::make_unique<BodyThread>([&] {
            while (!stop)
                synchronize([&] { ++calls; });
        }));
        flood.back()->Resume();
    }
    // Until the stream flows, then a message joins it.
    ASSERT_TRUE(Application().RunUntil([&] { return calls > 1000; }, 10s));
    Target target;
    target.calls = &calls;
    const int before = calls;
    ASSERT_TRUE(postMessage(target.handle(), WM_USER));
    EXPECT_TRUE(Application().HandleMessage());
    // One batch before the message is looked at, and one in the wait for it.
    EXPECT_LE(target.callsBefore - before, static_cast<int>(2 * kSynchronizeBatch));
    stop = true;
    for (auto& thread : flood)
        thread->WaitFor(); // runs their last calls meanwhile
}

TEST(Thread, SmallStackAndTheSystemsRefusalAsAnException) {
    std::atomic<size_t> stack{0};
    {
        BodyThread thread([&] {
            pthread_attr_t attributes;
            if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
                size_t size = 0;
                pthread_attr_getstacksize(&attributes, &size);
                stack = size;
                pthread_attr_destroy(&attributes);
            }
        });
        thread.Resume();
        thread.WaitFor();
    }
    EXPECT_EQ(stack.load(), kThreadStackSize);

    // No descriptor left for the new thread's message queue. (Not under AddressSanitizer:
    // its runtime's own checks open a pipe, and report nonsense when they cannot.)
#if defined(__SANITIZE_ADDRESS__)
    return;
#endif
    int code = 0;
    {
        const TestSupport::DescriptorsUsedUp usedUp(0);
        try {
            BodyThread refused([] {});
        } catch (const std::system_error& e) {
            code = e.code().value();
        }
    }
    EXPECT_EQ(code, EMFILE);
}
