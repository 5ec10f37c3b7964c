// The platform layer's shared part: what POSIX systems and Windows do alike,
// on top of what each system's file supplies (os::).
#include "platform.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
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
// Private folders

namespace {

// The live private folders, where a signal handler can find them without
// allocating: a slot is free (0), being made or removed (1), or live (2).
struct folder_slot {
    std::atomic<int> state{0};
    char path[os::private_path_size];
};
folder_slot folder_slots[max_private_folders];

// Removes the files of a private folder and the folder; safe in a signal
// handler (no allocation, system calls only).
void remove_private_files(const char* folder)
{
    char file[os::private_path_size + sizeof "/encoder.err"];
    for (const char* name : private_file_names) {
        std::strcpy(file, folder);
        std::strcat(file, "/");
        std::strcat(file, name);
        os::remove_file(file);
    }
    os::remove_folder(folder);
}

void remove_live_folders()
{
    for (folder_slot& slot : folder_slots) {
        if (slot.state.load() == 2) remove_private_files(slot.path);
    }
}

}  // namespace

bool private_folder::make()
{
    for (folder_slot& slot : folder_slots) {
        int expected = 0;
        if (!slot.state.compare_exchange_strong(expected, 1)) continue;
        if (!os::make_private_folder(path_)) {
            slot.state.store(0);
            return false;
        }
        std::strcpy(slot.path, path_.c_str());
        slot.state.store(2);
        slot_ = static_cast<int>(&slot - folder_slots);
        return true;
    }
    errno = EMFILE;  // -j allows no more conversions than slots: never reached
    return false;
}

private_folder::~private_folder()
{
    if (slot_ < 0) return;
    // The signal handler may remove the same files meanwhile: both ignore what is gone.
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    folder_slots[slot_].state.store(0);
}

void remove_private_folders_on_exit()
{
    os::on_interrupt_call(remove_live_folders);
}
