// The platform layer's shared part: what POSIX systems and Windows do alike,
// on top of what each system's file supplies (os::).
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <system_error>
#include <thread>

int why_not_creatable(const std::string& path, std::string& about)
{
    // The folder of a name without one is the current folder.
    const std::string folder = std::filesystem::path(path).parent_path().string();
    about = folder.empty() ? "." : folder;
    struct stat st;
    if (stat(about.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    if (const int err = os::folder_write_error(about); err != 0) return err;
    about = path;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
    return 0;
}

int make_folders_below(const std::string& base, const std::string& path, std::string& about)
{
    about = base.empty() ? "." : base;
    struct stat st;
    if (stat(about.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    // The folders after base, one by one: base is where the output was asked for.
    std::string folder = base;
    const std::string below = path.substr(std::min(path.size(), base.size()));
    const std::string parent = std::filesystem::path(below).parent_path().string();
    std::size_t start = 0;
    while (start < parent.size()) {
        std::size_t end = start;
        while (end < parent.size() && !is_path_separator(parent[end])) ++end;
        if (end > start) {
            if (!folder.empty() && !is_path_separator(folder.back())) folder += path_separator;
            folder.append(parent, start, end - start);
            std::error_code error;
            std::filesystem::create_directory(folder, error);
            if (error) {
                about = folder;
                return error.value();
            }
        }
        start = end + 1;
    }
    return 0;
}

bool is_program_found(const char* name)
{
    const os::program_search search = os::program_search_path();
    const std::string& folders = search.folders;
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(search.list_separator, start);
        if (end == std::string::npos) end = folders.size();
        // An empty entry stands for the current folder.
        std::string folder = end > start ? folders.substr(start, end - start) : std::string(1, '.');
        folder += path_separator;
        folder += name;
        for (const std::string& extension : search.extensions) {
            if (os::is_program_file(folder + extension)) return true;
        }
        start = end + 1;
    }
    return false;
}

unsigned processor_count()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

// ---------------------------------------------------------------------------
// What an interrupted run ends and removes

namespace {

// The encoders running, the private folders and the hidden outputs of the
// run. Every change happens under the mutex, and the cleanup after a signal
// takes the mutex for good: whatever the conversions do meanwhile, nothing is
// started, made or put in place after it.
struct live_things {
    std::mutex mutex;
    std::vector<os::started_command> commands;
    std::vector<std::string> folders;
    std::vector<std::string> files;
};
// Never destroyed: a signal may still come while the program exits.
live_things& live = *new live_things;

template <typename T, typename Same>
void forget(std::vector<T>& list, Same same)
{
    const auto at = std::find_if(list.begin(), list.end(), same);
    if (at != list.end()) list.erase(at);
}

void forget_path(std::vector<std::string>& list, const std::string& path)
{
    forget(list, [&](const std::string& p) { return p == path; });
}

// Removes the files of a private folder and the folder.
void remove_private_files(const std::string& folder)
{
    for (const char* name : private_file_names) os::remove_file((folder + path_separator + name).c_str());
    os::remove_folder(folder.c_str());
}

void end_run()
{
    live.mutex.lock();  // never unlocked: the program ends here
    os::end_commands(live.commands);
    for (const std::string& file : live.files) os::remove_file(file.c_str());
    for (const std::string& folder : live.folders) remove_private_files(folder);
}

// The file that path leads to through symbolic links, whether it exists or not.
std::filesystem::path link_target(const std::string& path)
{
    constexpr int max_links = 40;  // as the system follows them
    std::filesystem::path p = path;
    std::error_code error;
    for (int i = 0; i < max_links && std::filesystem::is_symlink(p, error); ++i) {
        const std::filesystem::path to = std::filesystem::read_symlink(p, error);
        if (error) break;
        p = to.is_absolute() ? to : p.parent_path() / to;
    }
    return p;
}

// Six letters or digits that nobody can predict.
std::string random_suffix()
{
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device source;
    std::string suffix(6, ' ');
    for (char& c : suffix) c = letters[source() % (sizeof letters - 1)];
    return suffix;
}

}  // namespace

int run_command(const std::string& command, const char* out_path, const char* err_path)
{
    os::started_command started;
    {
        const std::lock_guard<std::mutex> hold(live.mutex);
        if (!os::start_command(command, out_path, err_path, started)) return -1;
        live.commands.push_back(started);
    }
    const int status = os::wait_command(started);
    const std::lock_guard<std::mutex> hold(live.mutex);
    forget(live.commands, [&](const os::started_command& c) { return c.process == started.process; });
    os::release_command(started);
    return status;
}

bool private_folder::make()
{
    const std::lock_guard<std::mutex> hold(live.mutex);
    if (!os::make_private_folder(path_)) {
        path_.clear();
        return false;
    }
    live.folders.push_back(path_);
    return true;
}

private_folder::~private_folder()
{
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    const std::lock_guard<std::mutex> hold(live.mutex);
    forget_path(live.folders, path_);
}

std::FILE* staged_output::open(const std::string& output)
{
    target_ = link_target(output).string();
    struct stat st;
    const bool exists = stat(target_.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return open_file(target_.c_str(), "wb");
    if (exists) {
        if (const int err = os::file_write_error(target_); err != 0) {
            errno = err;
            return nullptr;
        }
    }
    const std::filesystem::path path = target_;
    std::string prefix = path.filename().string();  // ".NAME.mpg.", built in place: g++ 12 warns wrongly of "." + name
    prefix.insert(0, 1, '.');
    prefix += '.';
    for (;;) {
        const std::lock_guard<std::mutex> hold(live.mutex);
        hidden_ = (path.parent_path() / (prefix + random_suffix())).string();
        if (std::FILE* f = os::create_new_file(hidden_)) {
            live.files.push_back(hidden_);
            return f;
        }
        if (errno != EEXIST) {
            hidden_.clear();
            return nullptr;
        }
    }
}

bool staged_output::commit()
{
    if (hidden_.empty()) return true;  // written in place
    const std::lock_guard<std::mutex> hold(live.mutex);
    if (!os::replace_file(hidden_, target_)) return false;
    forget_path(live.files, hidden_);
    hidden_.clear();
    return true;
}

staged_output::~staged_output()
{
    if (hidden_.empty()) return;
    os::remove_file(hidden_.c_str());
    const std::lock_guard<std::mutex> hold(live.mutex);
    forget_path(live.files, hidden_);
}

void clean_up_on_exit_signals()
{
    os::on_exit_signal_call(end_run);
}

void wait_for_exit_signal()
{
    if (!os::exit_signal_came()) return;
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));  // the cleanup ends the program
}
