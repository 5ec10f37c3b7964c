// The platform layer in a web browser (Emscripten), past the files that it
// shares with POSIX systems (platform_posix_files.cpp): no programs to run or
// search for, no signals, no locks, and no file without a name (memory would
// hold it).
#include "platform.h"

#include <cerrno>
#include <cstdlib>

std::FILE* open_unnamed_file(const std::string&, std::uint64_t)
{
    return nullptr;
}

bool programs_can_run()
{
    return false;
}

command_status interpret_status(int status)
{
    return {status == 0, false, status != -1, status};
}

std::string quote_path(const std::string& path)
{
    return "'" + path + "'";
}

// A page's module is the only one to use its folders: there is nobody to
// take turns with, and nothing is locked.
file_lock::result file_lock::try_take(const char*)
{
    return unavailable;
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

bool os::exit_signal_came()
{
    return false;
}

void os::on_exit_signal_call(void (*)()) {}

bool os::is_program_file(const std::string&)
{
    return false;
}

os::program_search os::program_search_path()
{
    return {"", ':', {""}};
}
