#include "Platform.h"
#include "ShownExceptions.h"

#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <stdexcept>

using namespace NorvEngineering::Platform;
using namespace std::chrono_literals;

namespace {

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

// A self-deleting thread that runs its message loop until WM_QUIT.
class LoopThread : public TThread {
public:
    explicit LoopThread(std::atomic<int>* seen) : m_pSeen_(seen) { SetFreeOnTerminate(true); }

protected:
    void Execute() override {
        TMessage message;
        while (getMessage(message))
            if (message.message == WM_USER)
                ++*m_pSeen_;
    }

private:
    std::atomic<int>* m_pSeen_;
};

class RecordingTarget : public TMessageTarget {
public:
    void handleMessage(TMessage& message) override { received.push_back(message.message); }
    std::vector<uint32_t> received;
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
    worker.WaitFor();
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
    maker.WaitFor();
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
    ASSERT_TRUE(getMessage(message));
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

TEST(Thread, CreatedSuspendedRunsOnlyAfterResumeAndNeverWhenDeletedBefore) {
    std::atomic<bool> ran{false};
    {
        LambdaThread never([&](LambdaThread&) { ran = true; });
    }
    LambdaThread thread([&](LambdaThread&) { ran = true; });
    EXPECT_NE(thread.ThreadID(), 0);
    EXPECT_FALSE(thread.Completion()->wait(20ms));
    EXPECT_FALSE(ran);
    thread.Resume();
    EXPECT_TRUE(thread.Completion()->wait(5s));
    EXPECT_TRUE(ran);
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

TEST(Thread, WaitingOnTheMainThreadKeepsSynchronizeAlive) {
    std::atomic<int> calls{0};
    auto thread = std::make_unique<LambdaThread>([&](LambdaThread& self) {
        for (int i = 0; i < 20; ++i)
            self.Synchronize([&] { ++calls; });
    });
    thread->Resume();
    thread->WaitFor(); // would deadlock if the wait did not run the calls
    EXPECT_EQ(calls, 20);
}

TEST(Thread, FatalExceptionOfTheBodyIsKept) {
    LambdaThread thread([](LambdaThread&) { throw std::logic_error("body"); });
    thread.Resume();
    thread.WaitFor();
    EXPECT_TRUE(thread.FatalException() != nullptr);
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
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.IndexOf("75"), 1);
    EXPECT_EQ(list.IndexOf("x"), -1);
    EXPECT_EQ(list.Text(), "50\n75\n");
    list.Clear();
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(SysErrorMessage(ENOENT), "No such file or directory");
    EXPECT_EQ(SysErrorMessage(123456), "");
}

TEST(LiveCounter, WaitForNoneOnTheMainThreadKeepsSynchronizeAlive) {
    TLiveCounter counter;
    EXPECT_TRUE(counter.waitForNone(0ms));
    std::atomic<int> calls{0};
    auto thread = std::make_unique<LambdaThread>([&](LambdaThread& self) {
        self.Synchronize([&] { ++calls; });
        counter.leave();
    });
    counter.enter();
    EXPECT_EQ(counter.count(), 1);
    EXPECT_FALSE(counter.waitForNone(0ms));
    thread->Resume();
    EXPECT_TRUE(counter.waitForNone(5s));
    EXPECT_EQ(calls, 1);
}
