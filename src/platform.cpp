#ifdef _WIN32
#define _CRT_RAND_S  // rand_s, random numbers from the system; before any C runtime header
#endif
#include "platform.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <thread>

#ifndef _WIN32
extern char** environ;
#endif

bool is_path_separator(char c)
{
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

#ifdef _WIN32
// The C runtime's device and inode fields don't identify a file on Windows;
// the volume serial number and the file index do.
bool is_same_file(std::FILE* f, const char* path)
{
    const HANDLE path_handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (path_handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION open_info;
    BY_HANDLE_FILE_INFORMATION path_info;
    const auto open_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    const bool same =
        GetFileInformationByHandle(open_handle, &open_info) && GetFileInformationByHandle(path_handle, &path_info) &&
        open_info.dwVolumeSerialNumber == path_info.dwVolumeSerialNumber &&
        open_info.nFileIndexHigh == path_info.nFileIndexHigh && open_info.nFileIndexLow == path_info.nFileIndexLow;
    CloseHandle(path_handle);
    return same;
}
#else
bool is_same_file(std::FILE* f, const char* path)
{
    struct stat open_stat;
    struct stat path_stat;
    if (fstat(fileno(f), &open_stat) != 0 || stat(path, &path_stat) != 0) return false;
    return open_stat.st_dev == path_stat.st_dev && open_stat.st_ino == path_stat.st_ino;
}
#endif

int why_not_creatable(const std::string& path, std::string& about)
{
    std::size_t end = path.size();
    while (end > 0 && !is_path_separator(path[end - 1])) --end;
    // The folder of a name without one is the current folder; "/x" lies in "/".
    about = end == 0 ? "." : path.substr(0, end == 1 ? 1 : end - 1);
    struct stat st;
    if (stat(about.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
#ifdef _WIN32
    if (_access(about.c_str(), 2) != 0) return errno;  // 2: write permission
#else
    if (access(about.c_str(), W_OK | X_OK) != 0) return errno;
#endif
    about = path;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
    return 0;
}

namespace {

bool is_file(const std::string& path)
{
    struct stat st;
#ifdef _WIN32
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
#else
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
#endif
}

}  // namespace

bool is_program_found(const char* name)
{
#ifdef _WIN32
    const char list_separator = ';';
    const char* extensions[] = {".exe", ".bat", ".cmd"};
    std::string folders = std::string(".;") + (std::getenv("PATH") ? std::getenv("PATH") : "");
#else
    const char list_separator = ':';
    const char* extensions[] = {""};
    if (std::strchr(name, '/') != nullptr) return is_file(name);
    const std::string folders = std::getenv("PATH") ? std::getenv("PATH") : "";
#endif
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(list_separator, start);
        if (end == std::string::npos) end = folders.size();
        // An empty entry stands for the current folder.
        std::string folder = end > start ? folders.substr(start, end - start) : std::string(1, '.');
        folder += path_separator;
        folder += name;
        for (const char* extension : extensions) {
            if (is_file(folder + extension)) return true;
        }
        start = end + 1;
    }
    return false;
}

command_status interpret_status(int status)
{
#ifdef _WIN32
    // cmd.exe's status 9009: an unknown command.
    return {status == 0, status == 9009, true, status};
#else
    if (status == -1) return {false, false, false, 0};
    if (WIFSIGNALED(status)) return {false, false, false, WTERMSIG(status)};
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : status;
    return {code == 0, code == 127, true, code};
#endif
}

std::string quote_path(const std::string& path)
{
#ifdef _WIN32
    return '"' + path + '"';  // a Windows path holds no double quote
#else
    std::string quoted = "'";
    for (const char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
#endif
}

#ifdef _WIN32
int run_command(const std::string& command, const char* out_path, const char* err_path)
{
    std::string line = command;
    if (out_path != nullptr) line += " >" + quote_path(out_path);
    if (err_path != nullptr) line += " 2>" + quote_path(err_path);
    // cmd.exe drops the first and the last double quote of a command line
    // that starts with one; the outer pair keeps the command's own quotes.
    return std::system(('"' + line + '"').c_str());
}
#else
int run_command(const std::string& command, const char* out_path, const char* err_path)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    constexpr int flags = O_WRONLY | O_CREAT | O_TRUNC;
    if (out_path != nullptr) posix_spawn_file_actions_addopen(&actions, 1, out_path, flags, 0600);
    if (err_path != nullptr) posix_spawn_file_actions_addopen(&actions, 2, err_path, flags, 0600);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        errno = spawned;
        return -1;
    }
    int status = 0;
    pid_t waited = 0;
    do waited = waitpid(pid, &status, 0);
    while (waited < 0 && errno == EINTR);
    return waited < 0 ? -1 : status;
}
#endif

unsigned processor_count()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

// ---------------------------------------------------------------------------
// Private folders

namespace {

// The live private folders, where a signal handler can find them without
// allocating: a slot is free (0), being made or removed (1), or live (2).
struct folder_slot {
    std::atomic<int> state{0};
    char path[1024];
};
folder_slot folder_slots[max_private_folders];

// Removes the files of a slot's folder and the folder; safe in a signal
// handler (no allocation, system calls only).
void remove_slot_files(const char* folder)
{
    char file[sizeof folder_slot::path + 32];
    for (const char* name : private_file_names) {
        std::strcpy(file, folder);
        std::strcat(file, "/");
        std::strcat(file, name);
#ifdef _WIN32
        DeleteFileA(file);
#else
        unlink(file);
#endif
    }
#ifdef _WIN32
    RemoveDirectoryA(folder);
#else
    rmdir(folder);
#endif
}

void remove_live_folders()
{
    for (folder_slot& slot : folder_slots) {
        if (slot.state.load() == 2) remove_slot_files(slot.path);
    }
}

#ifdef _WIN32
// A fresh name under %TEMP%, made by the one CreateDirectory that succeeds.
bool make_folder(std::string& path)
{
    char base[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH) return false;
    if (n + 24 >= sizeof folder_slot::path) {
        errno = ENAMETOOLONG;
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned a = 0;
        unsigned b = 0;
        if (rand_s(&a) != 0 || rand_s(&b) != 0) return false;
        char name[32];
        std::snprintf(name, sizeof name, "vornalt-%08x%08x", a, b);
        path = std::string(base) + name;
        if (CreateDirectoryA(path.c_str(), nullptr)) return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    errno = EEXIST;
    return false;
}

BOOL WINAPI on_console_event(DWORD)
{
    remove_live_folders();
    return FALSE;  // the default handler ends the program
}
#else
// mkdtemp makes a folder of mode 0700 with a name that nobody can predict.
bool make_folder(std::string& path)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vornalt-XXXXXX";
    // The path must fit a slot, where the signal handler finds it.
    if (pattern.size() >= sizeof folder_slot::path) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (mkdtemp(pattern.data()) == nullptr) return false;
    path = pattern;
    return true;
}

void on_signal(int sig)
{
    remove_live_folders();
    signal(sig, SIG_DFL);
    raise(sig);
}
#endif

}  // namespace

bool private_folder::make()
{
    for (int i = 0; i < max_private_folders; ++i) {
        int expected = 0;
        if (!folder_slots[i].state.compare_exchange_strong(expected, 1)) continue;
        if (!make_folder(path_)) {
            folder_slots[i].state.store(0);
            return false;
        }
        std::strcpy(folder_slots[i].path, path_.c_str());
        folder_slots[i].state.store(2);
        slot_ = i;
        return true;
    }
    errno = EMFILE;
    return false;
}

private_folder::~private_folder()
{
    if (slot_ < 0) return;
    folder_slots[slot_].state.store(1);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    folder_slots[slot_].state.store(0);
}

void remove_private_folders_on_exit()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        // A signal that the caller had ignored (nohup) stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
#endif
}

// ---------------------------------------------------------------------------
// File locks

#ifdef _WIN32
namespace {

// A byte range far past the end of any file: locking it leaves the data
// free for the encoder to read.
OVERLAPPED far_range()
{
    OVERLAPPED range{};
    range.OffsetHigh = 0x7FFFFFFF;
    return range;
}

}  // namespace

file_lock::result file_lock::try_take(const char* path)
{
    handle_ = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        handle_ = nullptr;
        return unavailable;
    }
    OVERLAPPED range = far_range();
    if (LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) return taken;
    return GetLastError() == ERROR_LOCK_VIOLATION ? busy : unavailable;
}

void file_lock::wait()
{
    OVERLAPPED range = far_range();
    LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range);
}

file_lock::~file_lock()
{
    if (handle_ != nullptr) CloseHandle(handle_);  // closing the handle releases its lock
}
#else
file_lock::result file_lock::try_take(const char* path)
{
    // A descriptor of the lock's own, not inherited by the encoder; flock
    // locks stay while other descriptors of the file are opened and closed.
    fd_ = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return unavailable;
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return taken;
    return errno == EWOULDBLOCK ? busy : unavailable;
}

void file_lock::wait()
{
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {}
}

file_lock::~file_lock()
{
    if (fd_ >= 0) close(fd_);
}
#endif
