#include "widgets/ImageDrawThread.h"

TPausableThread::TPausableThread(bool createSuspended)
    : thread_(std::make_unique<platform::Thread>([this] { Execute(); })) {
    if (!createSuspended) thread_->Resume();
}

TPausableThread::~TPausableThread() { Finish(); }

void TPausableThread::Finish() {
    if (paused_) {
        Terminate();
        SetPaused(false);
    }
    Terminate();
    running_.Set();
    thread_->WaitFor();
}

void TPausableThread::SetPaused(bool value) {
    if (value != paused_) {
        paused_ = value;
        // The main thread only flips the flag: the draw thread may hold the gate while it waits for
        // the main thread to run a tick, so the main thread must never wait for the gate.
        if (value) running_.Reset();
        else running_.Set();
    }
    if (!thread_->Started() && !paused_) thread_->Resume();
}

void TPausableThread::EnterGate() {
    for (;;) {
        running_.Wait();
        gate_.Enter();
        if (!paused_ || terminated_) return;
        gate_.Leave();
    }
}

TImageDrawThread::~TImageDrawThread() { Finish(); }

void TImageDrawThread::Execute() {
    while (!Terminated()) {
        if (SleepUnlessTerminated(TickInterval)) return;
        EnterGate();
        if (Terminated()) {
            LeaveGate();
            return;
        }
        try {
            platform::Synchronize([this] {
                if (!Terminated() && OnTick) OnTick();
            });
        } catch (...) {
            // A failing tick ends the animation quietly; the program goes on without it.
            LeaveGate();
            return;
        }
        LeaveGate();
    }
}
