// The platform layer in a web browser (Emscripten): files in the module's
// file systems (the page's dropped files read where they lie, the outputs in
// memory); no programs to run or search for, no signals, no locks, and no
// file without a name (memory would hold it).
#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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
    std::FILE* f = std::fopen(path, mode);
    struct stat st;
    if (f != nullptr && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        errno = EISDIR;
        return nullptr;
    }
    return f;
}

std::FILE* open_unnamed_file(const std::string&, std::uint64_t)
{
    return nullptr;
}

bool programs_can_run()
{
    return false;
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

command_status interpret_status(int status)
{
    return {status == 0, false, status != -1, status};
}

std::string quote_path(const std::string& path)
{
    return "'" + path + "'";
}

// One page runs one conversion at a time in its module: there is nobody to take turns with.
file_lock::result file_lock::try_take(const char*)
{
    handle_ = -1;
    return taken;
}

void file_lock::wait() {}

file_lock::~file_lock() = default;

bool os::start_command(const std::string&, const char*, const char*, started_command&)
{
    errno = ENOSYS;
    return false;
}

int os::wait_command(const started_command&)
{
    return -1;
}

void os::release_command(const started_command&) {}

void os::end_commands(const std::vector<started_command>&) {}

bool os::make_private_folder(std::string& path)
{
    std::string pattern = "/tmp/vornalt-XXXXXX";
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

std::FILE* os::create_new_file(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd == -1) return nullptr;
    std::FILE* f = fdopen(fd, "wb");
    if (f == nullptr) close(fd);
    return f;
}

bool os::replace_file(const std::string& from, const std::string& to)
{
    return rename(from.c_str(), to.c_str()) == 0;
}

bool os::exit_signal_came()
{
    return false;
}

void os::on_exit_signal_call(void (*)()) {}

int os::folder_write_error(const std::string& folder)
{
    return access(folder.empty() ? "." : folder.c_str(), W_OK) == 0 ? 0 : errno;
}

int os::file_write_error(const std::string& path)
{
    return access(path.c_str(), W_OK) == 0 ? 0 : errno;
}

bool os::is_program_file(const std::string&)
{
    return false;
}

os::program_search os::program_search_path()
{
    return {"", ':', {""}};
}
