#include "batch.h"

#include "platform.h"
#include "threads.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

// For each conversion, the earlier ones that it must not run beside: those
// with the same output (whose output its own replaces), and those whose
// output is its input or whose input is its output.
std::vector<std::vector<std::size_t>> find_conflicts(std::vector<conversion>& jobs)
{
    std::map<std::string, std::vector<std::size_t>> writers;  // output -> the conversions so far
    std::map<std::string, std::vector<std::size_t>> readers;  // input -> the conversions so far
    std::vector<std::vector<std::size_t>> waits_for(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!jobs[i].failure.empty()) continue;  // nothing is read or written
        const std::string in = file_key(jobs[i].input);
        const std::string out = file_key(jobs[i].output);
        for (const auto* earlier : {&writers[out], &readers[out], &writers[in]})
            waits_for[i].insert(waits_for[i].end(), earlier->begin(), earlier->end());
        if (!writers[out].empty()) jobs[i].replaces = jobs[writers[out].back()].input;
        writers[out].push_back(i);
        readers[in].push_back(i);
    }
    return waits_for;
}

// One conversion from its first line to its result. An image, or a path on
// one, that can't be opened has no output: its input is named alone.
bool convert_one(conversion& job)
{
    if (!job.failure.empty()) {
        say(job.log, "can't open %s\n", job.input.c_str());
        tell(job.log, "vornalt: %s: %s\n", job.input.c_str(), job.failure.c_str());
        return false;
    }
    say(job.log, "%s -> %s\n", job.input.c_str(), job.output.c_str());
    if (!job.replaces.empty())
        tell(job.log, "vornalt: warning: %s gives %s too; its output replaces that of %s\n", job.input.c_str(),
             job.output.c_str(), job.replaces.c_str());
    return vornalt(job);
}

// Conversions side by side: workers take the next one in input order whose
// conflicting conversions have ended; each one's messages are printed whole,
// in input order, as soon as the conversions before it have been printed.
class batch {
public:
    batch(std::vector<conversion>& jobs, std::vector<bool>& results)
        : jobs_(jobs), results_(results), waits_for_(find_conflicts(jobs)), state_(jobs.size() + 1, waiting)
    {
    }

    void work()
    {
        for (std::size_t i; take(i);) {
            const bool result = convert_one(jobs_[i]);
            finish(i, result);
        }
    }

private:
    enum job_state { waiting, running, ended };

    // The next conversion that may start; false when none is left.
    bool take(std::size_t& next)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            bool left = false;
            for (std::size_t i = 0; i < jobs_.size(); ++i) {
                if (state_[i] != waiting) continue;
                left = true;
                if (!may_start(i)) continue;
                state_[i] = running;
                next = i;
                return true;
            }
            if (!left) return false;
            changed_.wait(hold);
        }
    }

    bool may_start(std::size_t i) const
    {
        return std::all_of(waits_for_[i].begin(), waits_for_[i].end(),
                           [&](std::size_t k) { return state_[k] == ended; });
    }

    void finish(std::size_t i, bool result)
    {
        std::lock_guard<std::mutex> hold(mutex_);
        results_[i] = result;
        state_[i] = ended;
        for (; state_[printed_] == ended; ++printed_) print_held(jobs_[printed_].log);
        changed_.notify_all();
    }

    std::vector<conversion>& jobs_;
    std::vector<bool>& results_;
    const std::vector<std::vector<std::size_t>> waits_for_;
    std::vector<job_state> state_;
    std::size_t printed_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace

std::vector<bool> run_conversions(std::vector<conversion>& jobs, unsigned parallel)
{
    std::vector<bool> results(jobs.size());
    clean_up_on_exit_signals();
    if (parallel <= 1 || !threads_can_start()) {
        find_conflicts(jobs);  // for the warnings
        for (std::size_t i = 0; i < jobs.size(); ++i) results[i] = convert_one(jobs[i]);
        return results;
    }
    for (conversion& job : jobs) {
        job.side_by_side = true;
        job.log.held = true;
    }
    batch work(jobs, results);
    std::vector<std::thread> workers;
    const std::size_t count = std::min<std::size_t>(parallel, jobs.size());
    for (std::size_t i = 0; i < count; ++i) workers.emplace_back([&work] { work.work(); });
    for (std::thread& worker : workers) worker.join();
    return results;
}
