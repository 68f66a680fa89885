// Threads, critical sections and the hand-over of calls to the main thread, on the Windows API.
// A handed-over call is queued, and a null message posted to the main thread wakes it.
#include "platform/Threads.h"

#include <deque>
#include <exception>

#include "platform/Faults.h"
#include "platform/win32/WindowsApi.h"

namespace platform {

struct Thread::Impl {
    std::function<void()> body;
    HANDLE handle = nullptr;
    volatile LONG finished = 0;
    bool resumed = false;
    bool skipBody = false;

    static DWORD WINAPI Start(void* self) {
        auto* impl = static_cast<Impl*>(self);
        if (!impl->skipBody) impl->body();
        InterlockedExchange(&impl->finished, 1);
        WakeMainThread();
        return 0;
    }
};

Thread::Thread(std::function<void()> body) : impl_(std::make_unique<Impl>()) {
    impl_->body = std::move(body);
    impl_->handle = CreateThread(nullptr, 0, &Impl::Start, impl_.get(), CREATE_SUSPENDED, nullptr);
}

Thread::~Thread() {
    if (impl_->handle && !impl_->resumed) {
        // A thread never started still exists, suspended: it is let run to its end without its
        // body (terminating a thread that never ran can leave the process in a broken state).
        impl_->skipBody = true;
        impl_->resumed = true;
        ResumeThread(impl_->handle);
        WaitForSingleObject(impl_->handle, INFINITE);
    }
    WaitFor();
    if (impl_->handle) CloseHandle(impl_->handle);
}

void Thread::Resume() {
    // A thread the system would not create, or refused on purpose, stays unstarted, which its
    // owner sees through Started.
    if (impl_->resumed || !impl_->handle || faults::ThreadStartRefused()) return;
    impl_->resumed = true;
    ResumeThread(impl_->handle);
}

bool Thread::Started() const { return impl_->resumed; }

bool Thread::Finished() const { return impl_->finished != 0; }

void Thread::WaitFor() {
    if (!impl_->resumed || !impl_->handle) return;
    if (IsMainThread()) {
        while (!impl_->finished) {
            RunSynchronizedCalls();
            WaitForMainThreadWork(10);
        }
    }
    WaitForSingleObject(impl_->handle, INFINITE);
}

void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

int HardwareThreads() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors == 0 ? 1 : static_cast<int>(info.dwNumberOfProcessors);
}

struct CriticalSection::Impl {
    CRITICAL_SECTION section;
};

CriticalSection::CriticalSection() : impl_(std::make_unique<Impl>()) { InitializeCriticalSection(&impl_->section); }
CriticalSection::~CriticalSection() { DeleteCriticalSection(&impl_->section); }
void CriticalSection::Enter() { EnterCriticalSection(&impl_->section); }
bool CriticalSection::TryEnter() { return TryEnterCriticalSection(&impl_->section) != 0; }
void CriticalSection::Leave() { LeaveCriticalSection(&impl_->section); }

struct Event::Impl {
    HANDLE handle = nullptr;
};

Event::Event(bool initiallySet) : impl_(std::make_unique<Impl>()) {
    impl_->handle = CreateEventA(nullptr, TRUE, initiallySet ? TRUE : FALSE, nullptr);
}
Event::~Event() { CloseHandle(impl_->handle); }
void Event::Set() { SetEvent(impl_->handle); }
void Event::Reset() { ResetEvent(impl_->handle); }
void Event::Wait() { WaitForSingleObject(impl_->handle, INFINITE); }
bool Event::WaitFor(std::uint32_t milliseconds) {
    // INFINITE is 0xFFFFFFFF: the longest interval waits without end, as Sleep would.
    return WaitForSingleObject(impl_->handle, milliseconds) == WAIT_OBJECT_0;
}

namespace {

struct Call {
    const std::function<void()>* call;
    HANDLE done;
    std::exception_ptr error;
};

struct MainQueue {
    CRITICAL_SECTION lock;
    std::deque<Call*> calls;
    HANDLE work;  // set while calls wait or a wake-up is pending
    DWORD mainThread = GetCurrentThreadId();
    MainQueue() {
        InitializeCriticalSection(&lock);
        work = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
};

MainQueue& Queue() {
    static MainQueue queue;
    return queue;
}

}  // namespace

void SetMainThread() {
    MSG msg;
    // Gives this thread its message queue, so that posted wake-ups reach it.
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    Queue().mainThread = GetCurrentThreadId();
}

bool IsMainThread() { return GetCurrentThreadId() == Queue().mainThread; }

void Synchronize(const std::function<void()>& call) {
    if (IsMainThread()) {
        call();
        return;
    }
    MainQueue& q = Queue();
    Call item{&call, CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr};
    EnterCriticalSection(&q.lock);
    q.calls.push_back(&item);
    LeaveCriticalSection(&q.lock);
    WakeMainThread();
    WaitForSingleObject(item.done, INFINITE);
    CloseHandle(item.done);
    if (item.error) std::rethrow_exception(item.error);
}

int RunSynchronizedCalls() {
    MainQueue& q = Queue();
    int ran = 0;
    for (;;) {
        EnterCriticalSection(&q.lock);
        if (q.calls.empty()) {
            ResetEvent(q.work);
            LeaveCriticalSection(&q.lock);
            break;
        }
        Call* item = q.calls.front();
        q.calls.pop_front();
        LeaveCriticalSection(&q.lock);
        try {
            (*item->call)();
        } catch (...) {
            item->error = std::current_exception();
        }
        SetEvent(item->done);
        ++ran;
    }
    return ran;
}

void WaitForMainThreadWork(std::uint32_t milliseconds) {
    MsgWaitForMultipleObjects(1, &Queue().work, FALSE, milliseconds, QS_ALLINPUT);
}

void WakeMainThread() {
    SetEvent(Queue().work);
    PostThreadMessageA(Queue().mainThread, WM_NULL, 0, 0);
}

}  // namespace platform
