#include "platform.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

bool is_path_separator(char c)
{
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

std::string error_text(int err)
{
    char text[256] = "";
#ifdef _WIN32
    strerror_s(text, sizeof text, err);
    return text;
#elif (_POSIX_C_SOURCE >= 200112L) && !defined(_GNU_SOURCE)
    strerror_r(err, text, sizeof text);
    return text;
#else
    return strerror_r(err, text, sizeof text);  // the GNU form returns the text
#endif
}

#ifdef _WIN32
// The C runtime's device and inode fields don't identify a file on Windows;
// the volume serial number and the file index do.
bool is_same_file(std::FILE* f, const char* path)
{
    const HANDLE path_handle =
        CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (path_handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION open_info;
    BY_HANDLE_FILE_INFORMATION path_info;
    const auto open_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    const bool same = GetFileInformationByHandle(open_handle, &open_info) &&
                      GetFileInformationByHandle(path_handle, &path_info) &&
                      open_info.dwVolumeSerialNumber == path_info.dwVolumeSerialNumber &&
                      open_info.nFileIndexHigh == path_info.nFileIndexHigh &&
                      open_info.nFileIndexLow == path_info.nFileIndexLow;
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

} // namespace

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
