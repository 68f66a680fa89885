#pragma once
// The timekeeper of the waiting bar: a thread that sleeps, then hands one tick to the main thread
// and waits until the main thread has run it. It can be paused between two ticks without the main
// thread ever waiting for it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Threads.h"

class TPausableThread {
public:
    // Creates the gate, then the thread, started at once unless createSuspended.
    explicit TPausableThread(bool createSuspended);
    // A paused thread is marked terminated and released so that it can end; then the thread is
    // waited for (running the ticks it hands over meanwhile) and the gate freed.
    virtual ~TPausableThread();
    TPausableThread(const TPausableThread&) = delete;
    TPausableThread& operator=(const TPausableThread&) = delete;

    // Pauses or resumes; the first resume starts a suspended thread. Main thread only.
    void SetPaused(bool value);
    bool IsPaused() const { return paused_; }
    bool Suspended() const { return !thread_->Started(); }
    // Marks the thread terminated and cuts its current sleep short, so that destroying it never
    // waits out a whole tick interval.
    void Terminate() {
        terminated_ = true;
        terminating_.Set();
    }
    bool Terminated() const { return terminated_; }

protected:
    // The thread's body.
    virtual void Execute() = 0;
    // Blocks while the thread is paused, then takes the gate.
    void EnterGate();
    void LeaveGate() { gate_.Leave(); }
    // Sleeps milliseconds, or less when the thread is marked terminated meanwhile; true then.
    bool SleepUnlessTerminated(std::uint32_t milliseconds) { return terminating_.WaitFor(milliseconds); }
    // Ends the thread and waits for it; derived destructors call it while their members live.
    void Finish();

private:
    platform::CriticalSection gate_;
    platform::Event running_{true};  // set while not paused
    platform::Event terminating_{false};  // set once the thread is marked terminated
    std::atomic<bool> paused_{false};
    std::atomic<bool> terminated_{false};
    std::unique_ptr<platform::Thread> thread_;
};

class TImageDrawThread : public TPausableThread {
public:
    explicit TImageDrawThread(bool createSuspended) : TPausableThread(createSuspended) {}
    ~TImageDrawThread() override;

    std::atomic<std::uint32_t> TickInterval{50};
    // Called on the main thread for each tick; empty means no call. Set and cleared on the main thread.
    std::function<void()> OnTick;

protected:
    // Sleep, take the gate, hand the tick over and wait for it, leave the gate; until terminated.
    void Execute() override;
};
