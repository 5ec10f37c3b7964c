#include "threads.h"

#include <condition_variable>
#include <mutex>

namespace {

// A mutex and a condition, which race checkers such as helgrind see.
struct budget {
    std::mutex mutex;
    std::condition_variable freed;
    unsigned count = 1;
    int free = 1;
};

budget run_budget;

}  // namespace

bool threads_can_start()
{
#ifdef VORNALT_NO_THREADS
    return false;
#else
    return true;
#endif
}

void set_thread_budget(unsigned threads)
{
    const unsigned n = threads < 1 ? 1 : threads;
    const std::lock_guard<std::mutex> hold(run_budget.mutex);
    run_budget.free += static_cast<int>(n) - static_cast<int>(run_budget.count);
    run_budget.count = n;
    run_budget.freed.notify_all();
}

unsigned thread_budget()
{
    const std::lock_guard<std::mutex> hold(run_budget.mutex);
    return run_budget.count;
}

void take_thread_slot()
{
    std::unique_lock<std::mutex> hold(run_budget.mutex);
    run_budget.freed.wait(hold, [] { return run_budget.free > 0; });
    --run_budget.free;
}

bool try_take_thread_slot()
{
    const std::lock_guard<std::mutex> hold(run_budget.mutex);
    if (run_budget.free <= 0) return false;
    --run_budget.free;
    return true;
}

void give_thread_slot()
{
    const std::lock_guard<std::mutex> hold(run_budget.mutex);
    ++run_budget.free;
    run_budget.freed.notify_one();
}
