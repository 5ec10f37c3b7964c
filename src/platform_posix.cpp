// The platform layer on POSIX systems.
#include "platform.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

extern char** environ;

const char path_separator = '/';
const char* const not_inherited_mode = "e";

void prepare_standard_streams() {}

bool is_path_separator(char c)
{
    return c == '/';
}

bool is_same_file(std::FILE* f, const char* path)
{
    struct stat open_stat;
    struct stat path_stat;
    if (fstat(fileno(f), &open_stat) != 0 || stat(path, &path_stat) != 0) return false;
    return open_stat.st_dev == path_stat.st_dev && open_stat.st_ino == path_stat.st_ino;
}

std::string file_key(const std::string& path)
{
    std::error_code error;
    const std::string key = std::filesystem::weakly_canonical(path, error).string();
    return error ? path : key;
}

command_status interpret_status(int status)
{
    if (status == -1) return {false, false, false, 0};
    if (WIFSIGNALED(status)) return {false, false, false, WTERMSIG(status)};
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : status;
    return {code == 0, code == 127, true, code};
}

std::string quote_path(const std::string& path)
{
    std::string quoted = "'";
    for (const char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

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
    // No signal handler of this program returns, so the wait is never interrupted.
    int status = 0;
    return waitpid(pid, &status, 0) == pid ? status : -1;
}

// ---------------------------------------------------------------------------
// File locks

file_lock::result file_lock::try_take(const char* path)
{
    // A descriptor of the lock's own, not inherited by the encoder; flock
    // locks stay while other descriptors of the file are opened and closed.
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1) return unavailable;
    handle_ = fd;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return taken;
    return errno == EWOULDBLOCK ? busy : unavailable;
}

void file_lock::wait()
{
    flock(static_cast<int>(handle_), LOCK_EX);  // no signal handler of this program returns: never interrupted
}

file_lock::~file_lock()
{
    if (handle_ >= 0) close(static_cast<int>(handle_));
}

// ---------------------------------------------------------------------------
// What platform.cpp builds on

namespace {

void (*interrupt_cleanup)() = nullptr;

void on_signal(int sig)
{
    interrupt_cleanup();
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

// mkdtemp makes a folder of mode 0700 with a name that nobody can predict.
bool os::make_private_folder(std::string& path)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vornalt-XXXXXX";
    if (pattern.size() >= private_path_size) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (mkdtemp(pattern.data()) == nullptr) return false;
    path = pattern;
    return true;
}

void os::remove_file(const char* path)
{
    unlink(path);
}

void os::remove_folder(const char* path)
{
    rmdir(path);
}

void os::on_interrupt_call(void (*remove_live_folders)())
{
    interrupt_cleanup = remove_live_folders;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        // A signal that the caller had ignored (nohup) stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

int os::folder_write_error(const std::string& folder)
{
    return access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

bool os::is_program_file(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

os::program_search os::program_search_path()
{
    const char* path = std::getenv("PATH");
    return {path != nullptr ? path : "", ':', {""}};
}
