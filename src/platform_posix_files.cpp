// Files on POSIX systems, the web browser's included (Emscripten gives its
// file systems the same calls): opening, seeking, naming and replacing them.
// What differs between the two (programs, signals, locks, files without a
// name) is in platform_posix.cpp and platform_browser.cpp.
#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

const char path_separator = '/';

void prepare_standard_streams() {}

bool is_path_separator(char c)
{
    return c == '/';
}

std::FILE* open_file(const char* path, const char* mode)
{
    // "e": closed in the programs that this one starts.
    std::FILE* f = std::fopen(path, (std::string(mode) + "e").c_str());
    struct stat st;
    if (f != nullptr && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        errno = EISDIR;
        return nullptr;
    }
    return f;
}

bool seek_file(std::FILE* f, std::uint64_t offset)
{
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
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

void os::remove_file(const char* path)
{
    unlink(path);
}

void os::remove_folder(const char* path)
{
    rmdir(path);
}

std::FILE* os::create_new_file(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);  // less the umask
    if (fd == -1) return nullptr;
    std::FILE* f = fdopen(fd, "wb");
    if (f == nullptr) close(fd);
    return f;
}

bool os::replace_file(const std::string& from, const std::string& to)
{
    return rename(from.c_str(), to.c_str()) == 0;
}

int os::folder_write_error(const std::string& folder)
{
    return access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

int os::file_write_error(const std::string& path)
{
    return access(path.c_str(), W_OK) == 0 ? 0 : errno;
}
