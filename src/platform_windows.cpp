// The platform layer on Windows (MinGW-w64).
#define _CRT_RAND_S  // rand_s, random numbers from the system; before any C runtime header
#include "platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

// The MinGW-w64 runtime expands wildcards in the arguments (cmd.exe leaves
// *.sfd to the program).
extern "C" {
int _dowildcard = -1;
}

const char path_separator = '\\';

void prepare_standard_streams()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool is_path_separator(char c)
{
    return c == '/' || c == '\\';
}

namespace {

// The C runtime's error number for a system error code.
int errno_of(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    default:
        return EIO;
    }
}

// A stream over a file opened by CreateFile with how, which, unlike the C
// runtime's fopen, lets the file be removed while it is open; its handle is
// not inherited by the programs that this one starts.
std::FILE* stream_of(const char* path, bool write, DWORD how)
{
    const HANDLE file =
        CreateFileA(path, write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, how, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        const DWORD attributes = GetFileAttributesA(path);
        const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        errno = folder ? EISDIR : errno_of(code);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), write ? 0 : _O_RDONLY);
    if (fd == -1) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, write ? "wb" : "rb");
    if (f == nullptr) _close(fd);
    return f;
}

}  // namespace

std::FILE* open_file(const char* path, const char* mode)
{
    const bool write = mode[0] == 'w';
    return stream_of(path, write, write ? CREATE_ALWAYS : OPEN_EXISTING);
}

std::FILE* open_unnamed_file(const std::string& folder, std::uint64_t room)
{
    char full[MAX_PATH + 1];
    char volume[MAX_PATH + 1];
    ULARGE_INTEGER free_bytes;
    const DWORD n = GetFullPathNameA(folder.empty() ? "." : folder.c_str(), sizeof full, full, nullptr);
    if (n == 0 || n > MAX_PATH || !GetVolumePathNameA(full, volume, sizeof volume) ||
        GetDriveTypeA(volume) != DRIVE_FIXED || !GetDiskFreeSpaceExA(full, &free_bytes, nullptr, nullptr) ||
        free_bytes.QuadPart < room)
        return nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned a = 0;
        unsigned b = 0;
        if (rand_s(&a) != 0 || rand_s(&b) != 0) return nullptr;
        char name[40];
        std::snprintf(name, sizeof name, "\\.vornalt-%08x%08x.tmp", a, b);
        const HANDLE file =
            CreateFileA((std::string(full) + name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() != ERROR_FILE_EXISTS) return nullptr;
            continue;
        }
        const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_RDWR | _O_BINARY);
        if (fd == -1) {
            CloseHandle(file);
            return nullptr;
        }
        std::FILE* f = _fdopen(fd, "w+b");
        if (f == nullptr) _close(fd);
        return f;
    }
    return nullptr;
}

bool programs_can_run()
{
    return true;
}

bool seek_file(std::FILE* f, std::uint64_t offset)
{
    return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0;
}

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

// Windows paths ignore case.
std::string file_key(const std::string& path)
{
    std::error_code error;
    std::string key = std::filesystem::weakly_canonical(path, error).string();
    if (error) key = path;
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    return key;
}

command_status interpret_status(int status)
{
    // cmd.exe's status 9009: an unknown command.
    return {status == 0, status == 9009, true, status};
}

std::string quote_path(const std::string& path)
{
    return '"' + path + '"';  // a Windows path holds no double quote
}

// ---------------------------------------------------------------------------
// File locks

namespace {

// A byte range far past the end of any file: locking it leaves the data
// free for the encoder to read.
OVERLAPPED far_range()
{
    OVERLAPPED range{};
    range.OffsetHigh = 0x7FFFFFFF;
    return range;
}

HANDLE handle_of(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

file_lock::result file_lock::try_take(const char* path)
{
    const HANDLE file =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return unavailable;
    handle_ = reinterpret_cast<std::intptr_t>(file);
    OVERLAPPED range = far_range();
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) return taken;
    return GetLastError() == ERROR_LOCK_VIOLATION ? busy : unavailable;
}

void file_lock::wait()
{
    OVERLAPPED range = far_range();
    LockFileEx(handle_of(handle_), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range);
}

file_lock::~file_lock()
{
    if (handle_ != -1) CloseHandle(handle_of(handle_));  // closing the handle releases its lock
}

// ---------------------------------------------------------------------------
// What platform.cpp builds on

namespace {

void (*exit_cleanup)() = nullptr;
std::atomic<bool> event_came{false};

BOOL WINAPI on_console_event(DWORD)
{
    event_came.store(true);
    exit_cleanup();
    return FALSE;  // the default handler ends the program
}

// How long the encoders are given to end once they are told to.
constexpr DWORD end_grace_ms = 5000;

}  // namespace

// The command runs as std::system runs it, "%COMSPEC% /c COMMAND", in a job
// object of its own, which the cleanup after Ctrl+C ends whole (cmd.exe and
// what it started).
bool os::start_command(const std::string& command, const char* out_path, const char* err_path, started_command& started)
{
    std::string line = command;
    if (out_path != nullptr) line += " >" + quote_path(out_path);
    if (err_path != nullptr) line += " 2>" + quote_path(err_path);
    const char* comspec = std::getenv("COMSPEC");
    const std::string shell = comspec != nullptr && *comspec != '\0' ? comspec : "cmd.exe";
    // cmd.exe drops the first and the last double quote of a command line
    // that starts with one; the outer pair keeps the command's own quotes.
    std::string command_line = quote_path(shell) + " /c \"" + line + '"';
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(shell.c_str(), command_line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &process)) {
        errno = errno_of(GetLastError());
        return false;
    }
    // What the job holds ends with it; a process that can't join one is ended alone.
    const HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        AssignProcessToJobObject(job, process.hProcess);
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    started = {reinterpret_cast<std::intptr_t>(process.hProcess), reinterpret_cast<std::intptr_t>(job)};
    return true;
}

int os::wait_command(const started_command& started)
{
    const HANDLE process = handle_of(started.process);
    DWORD code = 0;
    if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code)) return -1;
    return static_cast<int>(code);
}

void os::release_command(const started_command& started)
{
    CloseHandle(handle_of(started.process));
    if (started.group != 0) CloseHandle(handle_of(started.group));
}

void os::end_commands(const std::vector<started_command>& commands)
{
    for (const started_command& c : commands) {
        if (c.group != 0) TerminateJobObject(handle_of(c.group), 1);
        TerminateProcess(handle_of(c.process), 1);
    }
    for (const started_command& c : commands) WaitForSingleObject(handle_of(c.process), end_grace_ms);
}

// A fresh name under %TEMP%, made by the one CreateDirectory that succeeds.
bool os::make_private_folder(std::string& path)
{
    char base[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH) return false;
    if (n + 24 >= private_path_size) {
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

// A file that this program still holds open is removed at once where the
// file system can (its name goes, so that its folder can be removed), else
// when the program ends.
void os::remove_file(const char* path)
{
    const HANDLE file = CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        // FILE_DISPOSITION_INFO_EX with FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS.
        constexpr int file_disposition_info_ex = 21;
        DWORD flags = 0x1 | 0x2;
        const bool removed = SetFileInformationByHandle(
            file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(file_disposition_info_ex), &flags, sizeof flags);
        CloseHandle(file);
        if (removed) return;
    }
    DeleteFileA(path);
}

void os::remove_folder(const char* path)
{
    RemoveDirectoryA(path);
}

std::FILE* os::create_new_file(const std::string& path)
{
    return stream_of(path.c_str(), true, CREATE_NEW);
}

bool os::replace_file(const std::string& from, const std::string& to)
{
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    errno = errno_of(GetLastError());
    return false;
}

bool os::exit_signal_came()
{
    return event_came.load();
}

void os::on_exit_signal_call(void (*clean_up)())
{
    exit_cleanup = clean_up;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int os::folder_write_error(const std::string& folder)
{
    return _access(folder.c_str(), 2) == 0 ? 0 : errno;  // 2: write permission
}

int os::file_write_error(const std::string& path)
{
    return _access(path.c_str(), 2) == 0 ? 0 : errno;
}

bool os::is_program_file(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// cmd.exe looks in the current folder first, then on the PATH, trying the
// endings of programs and scripts.
os::program_search os::program_search_path()
{
    const char* path = std::getenv("PATH");
    return {std::string(".;") + (path != nullptr ? path : ""), ';', {".exe", ".bat", ".cmd"}};
}
