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
const char* const not_inherited_mode = "N";

void prepare_standard_streams()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool is_path_separator(char c)
{
    return c == '/' || c == '\\';
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

int run_command(const std::string& command, const char* out_path, const char* err_path)
{
    std::string line = command;
    if (out_path != nullptr) line += " >" + quote_path(out_path);
    if (err_path != nullptr) line += " 2>" + quote_path(err_path);
    // cmd.exe drops the first and the last double quote of a command line
    // that starts with one; the outer pair keeps the command's own quotes.
    return std::system(('"' + line + '"').c_str());
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

void (*interrupt_cleanup)() = nullptr;

BOOL WINAPI on_console_event(DWORD)
{
    interrupt_cleanup();
    return FALSE;  // the default handler ends the program
}

}  // namespace

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

void os::remove_file(const char* path)
{
    DeleteFileA(path);
}

void os::remove_folder(const char* path)
{
    RemoveDirectoryA(path);
}

void os::on_interrupt_call(void (*remove_live_folders)())
{
    interrupt_cleanup = remove_live_folders;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int os::folder_write_error(const std::string& folder)
{
    return _access(folder.c_str(), 2) == 0 ? 0 : errno;  // 2: write permission
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
