// The platform layer, and the lifetime guard that every worker of the transports
// reaches its owner through. Meant to be run under ThreadSanitizer as well: a pin that
// does not hold the end back shows up there.
#include "Platform.h"
#include "Deadline.h"
#include "DescriptorsUsedUp.h"
#include "ShownExceptions.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <latch>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

using namespace NorvEngineering::Platform;
using TestSupport::endsWithin;
using namespace std::chrono_literals;

namespace {

// A thread that does not end fails the test at once, with its name, instead of hanging it.
void waitFor(TThread& thread, const std::string& name) {
    endsWithin(10s, name + " ends", [&] { thread.WaitFor(); });
}

// A thread whose body runs a given function.
class LambdaThread : public TThread {
public:
    explicit LambdaThread(std::function<void(LambdaThread&)> body) : m_body_(std::move(body)) {}
    ~LambdaThread() override { TerminateAndWaitFor(); }

protected:
    void Execute() override { m_body_(*this); }

private:
    std::function<void(LambdaThread&)> m_body_;
};

// A self-deleting thread that counts WM_USER messages until WM_QUIT.
struct LoopThread : TThread {
    explicit LoopThread(std::atomic<int>* counter) : seen(counter) { SetFreeOnTerminate(true); }
    void Execute() override {
        for (TMessage message; getMessage(message);)
            *seen += message.message == WM_USER ? 1 : 0;
    }
    std::atomic<int>* seen;
};

struct RecordingTarget : TMessageTarget {
    void handleMessage(TMessage& message) override { received.push_back(message.message); }
    std::vector<uint32_t> received;
};

// An object that workers use only under a pin: touching it after its end is a
// use after free that the sanitizers see, and a count that the test sees.
struct Guarded {
    std::atomic<int> inside{0};
    std::atomic<int> touches{0};
    TLifetime life;
};

} // namespace

TEST(MessageQueue, ThreadMessagesArriveInOrderAndQuitEndsTheLoop) {
    const ThreadId self = currentThreadId();
    ASSERT_TRUE(postThreadMessage(self, WM_USER + 1, 10, -1));
    ASSERT_TRUE(postThreadMessage(self, WM_USER + 2));
    ASSERT_TRUE(postThreadMessage(self, WM_QUIT));
    TMessage message;
    ASSERT_TRUE(getMessage(message));
    EXPECT_EQ(message.message, WM_USER + 1);
    EXPECT_EQ(message.wParam, 10u);
    EXPECT_EQ(message.lParam, -1);
    ASSERT_TRUE(peekMessage(message, false));
    EXPECT_EQ(message.message, WM_USER + 2);
    ASSERT_TRUE(peekMessage(message, true));
    EXPECT_FALSE(getMessage(message));
    EXPECT_EQ(message.message, WM_QUIT);
    EXPECT_FALSE(peekMessage(message));
    EXPECT_FALSE(postThreadMessage(0x7fffffff, WM_USER)); // no such thread
}

TEST(MessageQueue, MessagesToADestroyedTargetAreDropped) {
    auto target = std::make_unique<RecordingTarget>();
    const TWindowHandle handle = target->handle();
    EXPECT_EQ(target->ownerThread(), currentThreadId());
    ASSERT_TRUE(postMessage(handle, WM_USER + 5));
    Application().ProcessMessages();
    EXPECT_EQ(target->received, std::vector<uint32_t>{WM_USER + 5});
    ASSERT_TRUE(postMessage(handle, WM_USER + 6));
    target.reset();
    Application().ProcessMessages(); // must not touch the freed target
    EXPECT_FALSE(postMessage(handle, WM_USER + 7));
    auto fresh = std::make_unique<RecordingTarget>();
    EXPECT_NE(fresh->handle(), handle);
}

TEST(MessageQueue, APostThatRacesTheOwnerGoingToSleepStillWakesIt) {
    // Pairs of threads hand a message back and forth. After each post the sender stays
    // busy for a varying moment, so that the answer often comes just as it has found its
    // queue empty and goes to sleep. One post that does not wake its owner stops that
    // pair's exchange for good.
    constexpr int kPairs = 4;
    constexpr uintptr_t kHops = 25000;
    std::mutex mutex;
    std::condition_variable changed;
    uintptr_t hops = 0; // of all pairs
    std::atomic<ThreadId> ids[2 * kPairs] = {};
    std::vector<std::unique_ptr<LambdaThread>> players;
    for (int player = 0; player < 2 * kPairs; ++player) {
        players.push_back(std::make_unique<LambdaThread>([&, player](LambdaThread&) {
            std::minstd_rand jitter(static_cast<unsigned>(player + 1));
            for (TMessage message; getMessage(message);) {
                {
                    std::lock_guard lock(mutex);
                    ++hops;
                }
                changed.notify_all();
                if (message.wParam >= kHops)
                    continue;
                postThreadMessage(ids[player ^ 1], WM_USER, message.wParam + 1);
                // Spun, not slept: a sleep lasts far longer than the moment aimed at.
                const auto busyUntil =
                    std::chrono::steady_clock::now() + std::chrono::microseconds(jitter() % 60);
                while (std::chrono::steady_clock::now() < busyUntil) {
                }
            }
        }));
        ids[player] = players.back()->ThreadID();
    }
    for (auto& player : players)
        player->Resume();
    for (int pair = 0; pair < kPairs; ++pair)
        EXPECT_TRUE(postThreadMessage(ids[2 * pair], WM_USER, 1));
    {
        // No hop for a second, where one takes microseconds: a lost wake-up.
        std::unique_lock lock(mutex);
        for (uintptr_t seen = 0; hops < kPairs * kHops;) {
            seen = hops;
            if (!changed.wait_for(lock, 1s, [&] { return hops != seen; }))
                break;
        }
        EXPECT_EQ(hops, kPairs * kHops) << "an exchange stopped";
    }
    // A later post wakes even an owner that missed one.
    for (const ThreadId id : ids)
        postThreadMessage(id, WM_QUIT);
    for (auto& player : players)
        waitFor(*player, "a thread of the exchange");
}

TEST(MessageQueue, AThreadWhoseQueueNeverRunsEmptyStillRunsItsWatches) {
    // The thread keeps posting itself work, so there is always a message to take; the
    // descriptor it watches must be looked at all the same.
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::mutex mutex;
    std::condition_variable changed;
    bool going = false;
    bool fired = false;
    std::atomic<bool> stop{false};
    const auto note = [&](bool& flag) {
        std::lock_guard lock(mutex);
        flag = true;
        changed.notify_all();
    };
    LambdaThread busy([&](LambdaThread&) {
        auto& queue = ThreadMessageQueue::current();
        const auto id = queue.watch(fd, 0x001 /* EPOLLIN */, [&](uint32_t) { note(fired); });
        postThreadMessage(currentThreadId(), WM_USER);
        int taken = 0;
        for (TMessage message; getMessage(message);) {
            if (++taken == 1000)
                note(going);
            if (!stop)
                postThreadMessage(currentThreadId(), WM_USER);
        }
        queue.unwatch(id);
    });
    busy.Resume();
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return going; }));
    const uint64_t one = 1;
    EXPECT_EQ(::write(fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return fired; }))
        << "the watch never ran while the thread had work queued";
    lock.unlock();
    stop = true; // an empty queue is polled: the thread ends either way
    postThreadMessage(busy.ThreadID(), WM_QUIT);
    waitFor(busy, "the busy thread");
    ::close(fd);
}

TEST(PostedCall, RequestsMergeWhilePendingAndNoneIsLostOrRunAfterDestruction) {
    std::atomic<int> runs{0};
    std::atomic<bool> again{false};
    std::unique_ptr<TPostedCall> call;
    call = std::make_unique<TPostedCall>([&] {
        ++runs;
        // News that arrives while the call runs must bring it back.
        if (again.exchange(false))
            call->request();
    });
    LambdaThread worker([&](LambdaThread&) {
        for (int i = 0; i < 100; ++i)
            call->request();
    });
    worker.Resume();
    waitFor(worker, "the requesting thread");
    EXPECT_TRUE(call->pending());
    Application().ProcessMessages();
    EXPECT_EQ(runs, 1);
    again = true;
    call->request();
    Application().ProcessMessages();
    Application().ProcessMessages();
    EXPECT_EQ(runs, 3);
    EXPECT_FALSE(call->pending());
    call->request();
    call.reset();
    Application().ProcessMessages(); // must not run on the freed call
    EXPECT_EQ(runs, 3);

    // Made by a worker, it still runs on the main thread.
    ThreadId ranOn = 0;
    LambdaThread maker([&](LambdaThread&) {
        call = std::make_unique<TPostedCall>([&] { ranOn = currentThreadId(); });
        call->request();
    });
    maker.Resume();
    waitFor(maker, "the making thread");
    Application().ProcessMessages();
    EXPECT_EQ(ranOn, mainThreadId());
}

TEST(MessageQueue, DescriptorWatchRunsOnTheOwningThreadDuringItsWait) {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto& queue = ThreadMessageQueue::current();
    int fired = 0;
    ThreadId firedOn = 0;
    const auto id = queue.watch(fd, 0x001 /* EPOLLIN */, [&](uint32_t) {
        ++fired;
        firedOn = currentThreadId();
        uint64_t value = 0;
        [[maybe_unused]] auto n = ::read(fd, &value, sizeof value);
        postThreadMessage(currentThreadId(), WM_USER + 9);
    });
    std::thread writer([fd] {
        const uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
    });
    TMessage message;
    endsWithin(10s, "the wait for the watch's message", [&] { ASSERT_TRUE(getMessage(message)); });
    writer.join();
    EXPECT_EQ(message.message, WM_USER + 9);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(firedOn, currentThreadId());
    queue.unwatch(id);
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
    queue.wait(10ms);
    EXPECT_EQ(fired, 1);
    ::close(fd);
}

TEST(MessageQueue, AWatchEndedWithinABatchIsNotCalledAgainAndOutlivesItsOwnRunningCallback) {
    // Two descriptors fire in one wait: whichever callback comes first ends both
    // watches, and waits inside itself (a handler that runs a loop) with what it
    // captured still in use afterwards. The other is never called; nothing is freed
    // under the running callback.
    auto& queue = ThreadMessageQueue::current();
    int fds[2] = {::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC), ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    ASSERT_GE(fds[0], 0);
    ASSERT_GE(fds[1], 0);
    ThreadMessageQueue::WatchId ids[2] = {};
    int calls = 0;
    for (int i = 0; i < 2; ++i) {
        auto captured = std::make_shared<std::vector<int>>(1000, i);
        ids[i] = queue.watch(fds[i], 0x001 /* EPOLLIN */, [&, captured](uint32_t) {
            ++calls;
            queue.unwatch(ids[0]);
            queue.unwatch(ids[1]);
            queue.wait(1ms);
            EXPECT_EQ(captured->back(), captured->front());
        });
    }
    const uint64_t one = 1;
    for (const int fd : fds)
        ASSERT_EQ(::write(fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    queue.wait(10ms);
    queue.wait(10ms);
    EXPECT_EQ(calls, 1);
    for (const int fd : fds)
        ::close(fd);
}

TEST(MessageQueue, AMessageDispatchedAtOnceNeverOvertakesOnesQueuedBeforeIt) {
    // A watch callback may hand its message straight to the thread's waiting loop only
    // while nothing is queued: here another thread's message arrives while the callback
    // runs, and is still handled first.
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::latch watching(1), callbackRunning(1), posted(1);
    TWindowHandle handle = 0;
    std::vector<uint32_t> order;
    std::thread worker([&] {
        auto& queue = ThreadMessageQueue::current();
        RecordingTarget target;
        handle = target.handle();
        queue.watch(fd, 0x001 /* EPOLLIN */, [&](uint32_t) {
            uint64_t value = 0;
            [[maybe_unused]] auto n = ::read(fd, &value, sizeof value);
            callbackRunning.count_down();
            posted.wait();
            const TMessage now{target.handle(), WM_USER + 2, 0, 0};
            if (!queue.dispatchAtOnce(now))
                queue.post(now);
        });
        watching.count_down();
        for (TMessage message; target.received.size() < 2 && getMessage(message);)
            dispatchMessage(message);
        order = target.received;
    });
    watching.wait();
    const uint64_t one = 1;
    ASSERT_EQ(::write(fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    endsWithin(10s, "the watch's callback", [&] { callbackRunning.wait(); });
    EXPECT_TRUE(postMessage(handle, WM_USER + 1));
    posted.count_down();
    endsWithin(10s, "the worker", [&] { worker.join(); });
    EXPECT_EQ(order, (std::vector<uint32_t>{WM_USER + 1, WM_USER + 2}));
    ::close(fd);
}

TEST(Thread, CreatedSuspendedRunsOnlyAfterResumeAndNeverWhenDeletedBefore) {
    std::atomic<bool> ran{false};
    endsWithin(10s, "deleting a thread never resumed",
               [&] { LambdaThread never([&](LambdaThread&) { ran = true; }); });
    LambdaThread thread([&](LambdaThread&) { ran = true; });
    EXPECT_FALSE(thread.Completion()->wait(20ms));
    EXPECT_FALSE(ran);
    thread.Resume();
    EXPECT_TRUE(thread.Completion()->wait(5s));
    EXPECT_TRUE(ran);

    LambdaThread failing([](LambdaThread&) { throw std::logic_error("body"); });
    failing.Resume();
    waitFor(failing, "the failing thread");
    EXPECT_TRUE(failing.FatalException() != nullptr); // kept, not lost with the thread
}

TEST(Thread, QuitPostedBeforeResumeIsNotLost) {
    std::atomic<int> seen{0};
    auto* thread = new LoopThread(&seen);
    auto completion = thread->Completion();
    thread->SetPriority(tpHighest);
    ASSERT_TRUE(postThreadMessage(thread->ThreadID(), WM_USER));
    ASSERT_TRUE(postThreadMessage(thread->ThreadID(), WM_QUIT));
    thread->Resume(); // deletes itself when the loop ends
    EXPECT_TRUE(completion->wait(5s));
    EXPECT_EQ(seen, 1);
}

TEST(Thread, SynchronizeRunsOnTheMainThreadAndCarriesExceptionsBack) {
    ASSERT_TRUE(isMainThread());
    std::atomic<ThreadId> ranOn{0};
    std::atomic<bool> caught{false};
    LambdaThread thread([&](LambdaThread& self) {
        self.Synchronize([&] { ranOn = currentThreadId(); });
        try {
            self.Synchronize([] { throw std::runtime_error("from main"); });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "from main";
        }
    });
    thread.Resume();
    EXPECT_TRUE(Application().RunUntil([&] { return thread.Completion()->finished(); }, 5s));
    EXPECT_EQ(ranOn, mainThreadId());
    EXPECT_TRUE(caught);

    // On the main thread itself the call runs at once.
    int value = 0;
    synchronize([&] { value = 1; });
    EXPECT_EQ(value, 1);
    EXPECT_FALSE(checkSynchronize());
}

TEST(Application, HandleExceptionDropsTheSilentAbort) {
    const TestSupport::ShownExceptions reported;
    Application().HandleException(std::make_exception_ptr(EAbort()));
    Application().HandleException(std::make_exception_ptr(Exception("shown")));
    // Exceptions of message handlers go the same way and do not leave the loop.
    class Throwing : public TMessageTarget {
    public:
        void handleMessage(TMessage&) override { throw Exception("from a handler"); }
    } target;
    postMessage(target.handle(), WM_USER);
    postMessage(target.handle(), WM_USER);
    EXPECT_NO_THROW(Application().ProcessMessages());
    EXPECT_EQ(reported.texts(), (std::vector<std::string>{"shown", "from a handler", "from a handler"}));
}

TEST(Application, RunUntilStopsAtTheDeadline) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Application().RunUntil([] { return false; }, 60ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
    EXPECT_TRUE(Application().RunUntil([] { return true; }, 0ms));
}

TEST(Event, BindRaiseUnbindAcrossThreads) {
    TEvent<int(int)> event;
    EXPECT_FALSE(event);
    EXPECT_EQ(event(3), 0);
    event = [](int x) { return x * 2; };
    EXPECT_EQ(event(3), 6);
    std::atomic<bool> stop{false};
    std::thread raiser([&] {
        while (!stop)
            event(1);
    });
    for (int i = 0; i < 2000; ++i) {
        event = [i](int x) { return x + i; };
        event = nullptr;
    }
    stop = true;
    raiser.join();
    EXPECT_FALSE(event);
}

TEST(Component, OwnerDeletesWhatItOwnsAndNotifies) {
    struct Probe : TComponent {
        using TComponent::TComponent;
        void Notification(TComponent* component, TOperation operation) override {
            if (operation == opRemove)
                removed.push_back(component);
        }
        std::vector<TComponent*> removed;
    };
    auto* owner = new Probe(nullptr);
    auto* child = new Probe(owner);
    Probe watcher(nullptr);
    child->FreeNotification(&watcher);
    EXPECT_EQ(child->Owner(), owner);
    delete owner;
    EXPECT_EQ(watcher.removed, std::vector<TComponent*>{child});
}

TEST(SmallHelpers, StringListAndErrorTexts) {
    TStringList list;
    list.Add("50");
    list.Add("75");
    EXPECT_EQ(list.IndexOf("75"), 1);
    EXPECT_EQ(list.IndexOf("x"), -1);
    EXPECT_EQ(list.Text(), "50\n75\n");
    EXPECT_EQ(SysErrorMessage(ENOENT), "No such file or directory");
    EXPECT_EQ(SysErrorMessage(123456), "");
}

TEST(LiveCounter, WaitForNoneOnTheMainThreadKeepsSynchronizeAlive) {
    TLiveCounter counter;
    EXPECT_TRUE(counter.waitForNone(0ms));
    std::atomic<int> calls{0};
    LambdaThread thread([&](LambdaThread& self) {
        self.Synchronize([&] { ++calls; });
        counter.leave();
    });
    counter.enter();
    EXPECT_FALSE(counter.waitForNone(0ms));
    thread.Resume();
    EXPECT_TRUE(counter.waitForNone(5s));
    EXPECT_EQ(calls, 1);
}

TEST(LiveCounter, TheMainThreadWaitingForNoneWakesWhenTheLastOneLeaves) {
    // Not at its time-out: an hour here, and the deadline fails the test long before.
    // The one that leaves goes on living until the wait is over: the end of a thread
    // wakes the main thread too, and must not stand in for the leave's own wake-up.
    for (int round = 0; round < 20; ++round) {
        TLiveCounter counter;
        counter.enter();
        std::latch waited(1);
        LambdaThread thread([&](LambdaThread& self) {
            // Runs on the main thread inside its wait: the leave comes while it waits.
            self.Synchronize([] {});
            counter.leave();
            waited.wait();
        });
        thread.Resume();
        endsWithin(10s, "the wait for the last one to leave", [&] { EXPECT_TRUE(counter.waitForNone(1h)); });
        waited.count_down();
        waitFor(thread, "the leaving thread");
    }
}

TEST(Lifetime, EndWaitsForPinsOfOtherThreadsAndRefusesNewOnes) {
    for (const bool endOnMain : {true, false}) {
        auto object = std::make_unique<Guarded>();
        const TGuardedPtr<Guarded> pointer(object.get(), object->life.ref());
        std::atomic<bool> stop{false};
        std::latch underWay(4);
        std::vector<std::thread> workers;
        for (int w = 0; w < 4; ++w)
            workers.emplace_back([&] {
                for (bool first = true; !stop; first = false) {
                    if (const auto pinned = pointer.pin()) {
                        ++pinned->inside;
                        ++pinned->touches;
                        --pinned->inside;
                    } else {
                        std::this_thread::yield();
                    }
                    if (first)
                        underWay.count_down();
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
        endsWithin(10s, "end() with pins held by other threads", [&] {
            if (endOnMain)
                end();
            else
                std::thread(end).join();
        });
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
    LambdaThread worker([&](LambdaThread&) {
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
        SCOPED_TRACE(round);
        auto object = std::make_unique<Guarded>();
        const TGuardedPtr<Guarded> pointer(object.get(), object->life.ref());
        std::atomic<int> reached{0};
        std::atomic<int> ran{0};
        std::atomic<int> started{0};
        std::vector<std::unique_ptr<LambdaThread>> workers;
        for (int w = 0; w < 4; ++w) {
            const bool holdsPin = w % 2 == 0;
            workers.push_back(std::make_unique<LambdaThread>([&, holdsPin](LambdaThread&) {
                TLifetimePin held;
                if (holdsPin)
                    held = pointer.life().pin();
                ++started;
                synchronize([&] {
                    ++ran;
                    if (const auto pinned = pointer.pin()) {
                        ++pinned->touches;
                        ++reached;
                    }
                });
            }));
            workers.back()->Resume();
        }
        // In even rounds some calls may run (and get in) before the end; in odd ones the
        // main thread runs none before it.
        if (round % 2 == 0) {
            ASSERT_TRUE(Application().RunUntil([&] { return started == 4; }, 10s));
        }
        const int reachedBefore = reached;
        // Must not deadlock on the pins of workers in Synchronize.
        endsWithin(10s, "end() with pin holders in Synchronize", [&] { object->life.end(); });
        // The calls it ran meanwhile found the object gone, as do the later ones.
        EXPECT_EQ(object->touches, reachedBefore);
        object.reset();
        for (auto& worker : workers)
            waitFor(*worker, "a worker in Synchronize");
        EXPECT_EQ(ran, 4);
        EXPECT_EQ(reached, reachedBefore);
        if (round % 2 == 1) {
            EXPECT_EQ(reached, 0);
        }
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
    std::vector<std::unique_ptr<LambdaThread>> flood;
    for (int t = 0; t < 48; ++t) {
        flood.push_back(std::make_unique<LambdaThread>([&](LambdaThread&) {
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
        waitFor(*thread, "a thread of the stream"); // runs their last calls meanwhile
}

TEST(Thread, SmallStackAndTheSystemsRefusalAsAnException) {
    std::atomic<size_t> stack{0};
    {
        LambdaThread thread([&](LambdaThread&) {
            pthread_attr_t attributes;
            if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
                size_t size = 0;
                pthread_attr_getstacksize(&attributes, &size);
                stack = size;
                pthread_attr_destroy(&attributes);
            }
        });
        thread.Resume();
        waitFor(thread, "the thread");
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
            LambdaThread refused([](LambdaThread&) {});
        } catch (const std::system_error& e) {
            code = e.code().value();
        }
    }
    EXPECT_EQ(code, EMFILE);
}
