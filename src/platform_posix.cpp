// The platform layer on POSIX systems, past the files that it shares with the
// browser (platform_posix_files.cpp): programs, signals, locks, files without
// a name.
#include "platform.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <thread>

extern char** environ;

std::FILE* open_unnamed_file(const std::string& folder, std::uint64_t room)
{
#ifdef O_TMPFILE
    const std::string at = folder.empty() ? "." : folder;
    struct statvfs space;
    if (statvfs(at.c_str(), &space) != 0 || std::uint64_t{space.f_bavail} * space.f_frsize < room) return nullptr;
    const int fd = open(at.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* f = fdopen(fd, "w+b");
    if (f == nullptr) close(fd);
    return f;
#else
    (void)folder;
    (void)room;
    return nullptr;  // no file without a name on this system
#endif
}

bool programs_can_run()
{
    return true;
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
    flock(static_cast<int>(handle_), LOCK_EX);  // restarted after the program's signal handlers
}

file_lock::~file_lock()
{
    if (handle_ >= 0) close(static_cast<int>(handle_));
}

// ---------------------------------------------------------------------------
// What platform.cpp builds on

namespace {

// The signal handlers only wake the cleanup thread through this pipe: the
// cleanup takes locks and waits, which no handler may do.
int wake_pipe[2] = {-1, -1};
std::atomic<bool> signal_came{false};  // lock-free: stored in a handler

void on_signal(int sig)
{
    signal_came.store(true);
    const auto byte = static_cast<unsigned char>(sig);
    const ssize_t written = write(wake_pipe[1], &byte, 1);
    static_cast<void>(written);  // a full pipe already holds a signal to act on
}

// How long the encoders are given to end after SIGTERM, before SIGKILL, and
// how often they are looked at meanwhile.
constexpr int end_grace_ms = 5000;
constexpr int end_poll_ms = 10;

// Whether a process of the group is still running; collects those that have
// ended (the program ends after the cleanup: nobody else waits for them).
// The group's processes are this program's children: the shell, and on Linux,
// where this program takes in its orphaned descendants, what the shell
// started once the shell has ended.
bool group_running(pid_t group)
{
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PGID, static_cast<id_t>(group), &info, WEXITED | WNOHANG) != 0) return false;  // none left
        if (info.si_pid == 0) return true;                                                          // none has ended
    }
}

}  // namespace

// The command runs in a process group of its own, which the cleanup after a
// signal ends whole (the shell and what it started); its standard input is
// empty, so that it never waits for the terminal that it does not own.
bool os::start_command(const std::string& command, const char* out_path, const char* err_path, started_command& started)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    constexpr int flags = O_WRONLY | O_CREAT | O_TRUNC;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out_path != nullptr) posix_spawn_file_actions_addopen(&actions, 1, out_path, flags, 0600);
    if (err_path != nullptr) posix_spawn_file_actions_addopen(&actions, 2, err_path, flags, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/bin/sh", &actions, &attributes, const_cast<char**>(argv), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        errno = spawned;
        return false;
    }
    started = {pid, pid};
    return true;
}

int os::wait_command(const started_command& started)
{
    int status = 0;
    pid_t got = 0;
    while ((got = waitpid(static_cast<pid_t>(started.process), &status, 0)) == -1 && errno == EINTR) {}
    return got == started.process ? status : -1;
}

void os::release_command(const started_command&) {}

void os::end_commands(const std::vector<started_command>& commands)
{
    for (const started_command& c : commands) kill(-static_cast<pid_t>(c.group), SIGTERM);
    for (int waited = 0; waited < end_grace_ms; waited += end_poll_ms) {
        if (std::none_of(commands.begin(), commands.end(),
                         [](const started_command& c) { return group_running(static_cast<pid_t>(c.group)); }))
            break;
        const timespec pause{0, end_poll_ms * 1000000L};
        nanosleep(&pause, nullptr);
    }
    // What ignored SIGTERM ends too.
    for (const started_command& c : commands) kill(-static_cast<pid_t>(c.group), SIGKILL);
}

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

bool os::exit_signal_came()
{
    return signal_came.load();
}

void os::on_exit_signal_call(void (*clean_up)())
{
#ifdef PR_SET_CHILD_SUBREAPER
    // What an encoder command's shell started stays this program's to wait for when the shell ends first.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif
    if (pipe2(wake_pipe, O_CLOEXEC) != 0) return;
    fcntl(wake_pipe[1], F_SETFL, O_NONBLOCK);  // a handler never waits
    constexpr int exit_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    // The cleanup thread starts with the signals blocked, so that they come
    // to the threads that convert: the handler would wake nobody in it.
    sigset_t blocked;
    sigset_t before;
    sigemptyset(&blocked);
    for (const int sig : exit_signals) sigaddset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    std::thread([clean_up] {
        unsigned char sig = 0;
        while (read(wake_pipe[0], &sig, 1) != 1) {
            if (errno != EINTR) return;
        }
        clean_up();
        signal(sig, SIG_DFL);
        sigset_t own;
        sigemptyset(&own);
        sigaddset(&own, sig);
        pthread_sigmask(SIG_UNBLOCK, &own, nullptr);
        raise(sig);
        _exit(128 + sig);
    }).detach();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    for (const int sig : exit_signals) {
        struct sigaction old {};
        // A signal that the caller had ignored (nohup) stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = on_signal;
        action.sa_flags = SA_RESTART;  // the conversions' reads, writes and waits go on until the cleanup ends them
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
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
