// A test that hangs fails within a stated time and names itself, instead of holding up the whole
// run until CTest kills the program with nothing said. Each test program counts from the start of
// every test; a test still running after MAILBALE_TEST_TIMEOUT seconds (CTest sets it for each
// program; 120 when unset, as under ThreadSanitizer) ends the program with its name.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Shared with the timing thread, which is never joined: the program may end while it waits.
struct WatchState {
    std::mutex mutex;
    std::condition_variable changed;
    std::string test;  // empty while no test runs
    Clock::time_point deadline;
    long long seconds = 120;
};

class Watchdog : public ::testing::EmptyTestEventListener {
public:
    explicit Watchdog(WatchState* state) : state_(state) {}
    void OnTestStart(const ::testing::TestInfo& info) override {
        std::lock_guard lock(state_->mutex);
        state_->test = std::string(info.test_suite_name()) + "." + info.name();
        state_->deadline = Clock::now() + std::chrono::seconds(state_->seconds);
        state_->changed.notify_all();
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        std::lock_guard lock(state_->mutex);
        state_->test.clear();
        state_->changed.notify_all();
    }

private:
    WatchState* state_;
};

void Watch(WatchState* state) {
    std::unique_lock lock(state->mutex);
    for (;;) {
        if (state->test.empty()) {
            state->changed.wait(lock);
        } else if (Clock::now() < state->deadline) {
            state->changed.wait_until(lock, state->deadline);
        } else {
            std::fprintf(stderr, "\n[  TIMEOUT ] %s is still running after %lld s: it hangs\n", state->test.c_str(),
                         state->seconds);
            std::fflush(stderr);
            std::_Exit(1);
        }
    }
}

const bool installed = [] {
    auto* state = new WatchState;  // lives as long as the process
    if (const char* value = std::getenv("MAILBALE_TEST_TIMEOUT")) {
        const long long seconds = std::atoll(value);
        if (seconds > 0) state->seconds = seconds;
    }
    std::thread(Watch, state).detach();
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog(state));
    return true;
}();

}  // namespace
