#pragma once
// Threads for the waiting bar and the archiver's compression workers: a thread created suspended
// and resumed, sleep, a critical section, an event, and the hand-over of a call to the main thread.
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

// A thread running body. It starts suspended and runs once Resume is called.
class Thread {
public:
    explicit Thread(std::function<void()> body);
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Waits for the thread's end when it was started.
    ~Thread();

    // Starts the thread. A thread the system refuses (at its limit of threads or processes) is
    // not an error: it stays unstarted, and Started says so.
    void Resume();
    bool Started() const;
    bool Finished() const;
    // Blocks until the body has returned; at once when the thread never started. On the main thread
    // it keeps running the calls handed over meanwhile, so a thread waiting for the main thread
    // can still finish.
    void WaitFor();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

void Sleep(std::uint32_t milliseconds);
// The number of threads the machine runs at once (its logical processors); at least 1.
int HardwareThreads();

// A lock that the thread holding it may take again (as a Windows critical section).
class CriticalSection {
public:
    CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    ~CriticalSection();
    void Enter();
    bool TryEnter();
    void Leave();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// A manual-reset event: threads wait until it is set.
class Event {
public:
    explicit Event(bool initiallySet);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event();
    void Set();
    void Reset();
    // Waits until the event is set.
    void Wait();
    // Waits until the event is set or milliseconds have passed; true when it is set.
    bool WaitFor(std::uint32_t milliseconds);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Holds a critical section for a scope.
class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
    ~CriticalSectionLock() { cs_.Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection& cs_;
};

// Runs call on the main thread and waits until it has run there. Called on the main thread it runs
// at once. The main thread runs handed-over calls in its message loop and whenever it processes
// pending messages.
void Synchronize(const std::function<void()>& call);
// Marks the calling thread as the main thread (the application does this at start).
void SetMainThread();
bool IsMainThread();
// Runs every call handed over so far; the main thread only. Returns how many ran.
int RunSynchronizedCalls();
// Waits up to milliseconds for a hand-over or a Wake; returns at once when one is pending.
void WaitForMainThreadWork(std::uint32_t milliseconds);
// Wakes the main thread from WaitForMainThreadWork.
void WakeMainThread();

}  // namespace platform
