// Threads, locks and the hand-over of calls to the main thread, on the C++ runtime's threads.
#include "platform/Threads.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/Faults.h"

namespace platform {

struct Thread::Impl {
    std::function<void()> body;
    std::thread thread;
    std::atomic<bool> finished{false};
};

Thread::Thread(std::function<void()> body) : impl_(std::make_unique<Impl>()) { impl_->body = std::move(body); }

Thread::~Thread() { WaitFor(); }

void Thread::Resume() {
    if (impl_->thread.joinable()) return;
    Impl* impl = impl_.get();
    try {
        // A refusal on purpose comes as the system's does.
        if (faults::ThreadStartRefused()) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        impl_->thread = std::thread([impl] {
            impl->body();
            impl->finished = true;
            WakeMainThread();
        });
    } catch (const std::system_error&) {
        // The system refused the thread (at its limit of processes or of memory): it stays
        // unstarted, which its owner sees through Started.
    }
}

bool Thread::Started() const { return impl_->thread.joinable(); }

bool Thread::Finished() const { return impl_->finished; }

void Thread::WaitFor() {
    if (!impl_->thread.joinable()) return;
    if (IsMainThread()) {
        while (!impl_->finished) {
            RunSynchronizedCalls();
            WaitForMainThreadWork(10);
        }
    }
    impl_->thread.join();
}

struct Event::Impl {
    std::mutex mutex;
    std::condition_variable changed;
    bool set = false;
};

Event::Event(bool initiallySet) : impl_(std::make_unique<Impl>()) { impl_->set = initiallySet; }
Event::~Event() = default;

void Event::Set() {
    {
        std::lock_guard guard(impl_->mutex);
        impl_->set = true;
    }
    impl_->changed.notify_all();
}

void Event::Reset() {
    std::lock_guard guard(impl_->mutex);
    impl_->set = false;
}

void Event::Wait() {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait(lock, [this] { return impl_->set; });
}

bool Event::WaitFor(std::uint32_t milliseconds) {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return impl_->set; });
}

void Sleep(std::uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

int HardwareThreads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

struct CriticalSection::Impl {
    std::recursive_mutex mutex;
};

CriticalSection::CriticalSection() : impl_(std::make_unique<Impl>()) {}
CriticalSection::~CriticalSection() = default;
void CriticalSection::Enter() { impl_->mutex.lock(); }
bool CriticalSection::TryEnter() { return impl_->mutex.try_lock(); }
void CriticalSection::Leave() { impl_->mutex.unlock(); }

namespace {

struct Call {
    const std::function<void()>* call;
    bool done = false;
    std::exception_ptr error;
};

struct MainQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Call*> calls;
    bool woken = false;
    std::thread::id mainThread = std::this_thread::get_id();
};

MainQueue& Queue() {
    static MainQueue queue;
    return queue;
}

}  // namespace

void SetMainThread() {
    std::lock_guard guard(Queue().mutex);
    Queue().mainThread = std::this_thread::get_id();
}

bool IsMainThread() {
    std::lock_guard guard(Queue().mutex);
    return Queue().mainThread == std::this_thread::get_id();
}

void Synchronize(const std::function<void()>& call) {
    if (IsMainThread()) {
        call();
        return;
    }
    MainQueue& q = Queue();
    Call item{&call};
    std::unique_lock lock(q.mutex);
    q.calls.push_back(&item);
    q.changed.notify_all();
    q.changed.wait(lock, [&] { return item.done; });
    if (item.error) std::rethrow_exception(item.error);
}

int RunSynchronizedCalls() {
    MainQueue& q = Queue();
    int ran = 0;
    for (;;) {
        Call* item = nullptr;
        {
            std::lock_guard guard(q.mutex);
            if (q.calls.empty()) break;
            item = q.calls.front();
            q.calls.pop_front();
        }
        try {
            (*item->call)();
        } catch (...) {
            item->error = std::current_exception();
        }
        {
            std::lock_guard guard(q.mutex);
            item->done = true;
        }
        q.changed.notify_all();
        ++ran;
    }
    return ran;
}

void WaitForMainThreadWork(std::uint32_t milliseconds) {
    MainQueue& q = Queue();
    std::unique_lock lock(q.mutex);
    q.changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return !q.calls.empty() || q.woken; });
    q.woken = false;
}

void WakeMainThread() {
    MainQueue& q = Queue();
    {
        std::lock_guard guard(q.mutex);
        q.woken = true;
    }
    q.changed.notify_all();
}

}  // namespace platform
