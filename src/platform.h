// What the program needs of the operating system, behind one header: file
// identity, folders, programs on the PATH, the encoder's process, private
// temporary folders, locks, the standard streams. platform_posix.cpp and
// platform_windows.cpp implement it for their systems (CMake builds the one
// that fits); platform.cpp holds what the two share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The separator that the output folder of -o is joined with: '/', or '\' on Windows.
extern const char path_separator;

// The fopen mode letter that keeps a file from the programs that this one
// starts: an encoder holding another conversion's temporary file open would
// keep it from being removed.
extern const char* const not_inherited_mode;

// Readies standard output and error before anything is printed: on Windows
// they end lines in "\n" as on every other system, not in "\r\n".
void prepare_standard_streams();

// Whether c separates folders in a path: '/' everywhere, '\' on Windows too.
bool is_path_separator(char c);

// Whether path names the very file that is open as f, whatever path or link
// leads to it.
bool is_same_file(std::FILE* f, const char* path);

// A key that two paths of one file share, whether or not the file exists yet.
std::string file_key(const std::string& path);

// Why a file can't be created at path: 0 when its folder exists and takes
// new files and path is not a folder; else the error number, with the path
// that it is about (the folder, or path itself).
int why_not_creatable(const std::string& path, std::string& about);

// Whether name, a bare program name, is a program that the command processor
// can find: on the PATH, on Windows also in the current folder and with
// .exe, .bat or .cmd.
bool is_program_found(const char* name);

// What the command processor's status of a command says.
struct command_status {
    bool ok;         // exited with 0
    bool not_found;  // the command does not exist
    bool exited;     // exited with a status (code), rather than by a signal (code)
    int code;
};
command_status interpret_status(int status);

// Quotes a path for the command processor.
std::string quote_path(const std::string& path);

// Runs command through the command processor in the current folder and
// waits for it; its standard output and error go to out_path and err_path
// when they are given. Returns the command processor's status.
int run_command(const std::string& command, const char* out_path, const char* err_path);

// The number of processors, at least 1.
unsigned processor_count();

// A private temporary folder of a conversion: made with a name that nobody
// can predict, entered only by the user, and removed with the files in it
// when the object ends, or when the program is interrupted (Ctrl+C) or
// terminated. Up to max_private_folders live at a time.
constexpr int max_private_folders = 256;
constexpr const char* private_file_names[] = {"tmp.wav", "tmp.mp3", "encoder.out", "encoder.err"};
class private_folder {
public:
    private_folder() = default;
    ~private_folder();
    private_folder(const private_folder&) = delete;
    private_folder& operator=(const private_folder&) = delete;

    // Makes the folder; returns false (errno set) when it can't be made.
    bool make();
    // The folder's path.
    const std::string& path() const { return path_; }

private:
    int slot_ = -1;
    std::string path_;
};

// Removes the live private folders when the program is interrupted or
// terminated; installed once before conversions run side by side.
void remove_private_folders_on_exit();

// A lock on a file, held until the object ends, so that the conversions of
// several processes that share one folder's temporary files take turns.
// Opening and closing the file otherwise does not release it.
class file_lock {
public:
    file_lock() = default;
    ~file_lock();
    file_lock(const file_lock&) = delete;
    file_lock& operator=(const file_lock&) = delete;

    enum result { taken, busy, unavailable };
    // Takes the lock on path at once, or tells that another process holds
    // it, or that the file can't be opened (then nothing is locked).
    result try_take(const char* path);
    // Waits for a busy lock and takes it.
    void wait();

private:
    std::intptr_t handle_ = -1;  // the system's descriptor or handle of the file; -1: none
};

// What each system's file supplies to platform.cpp.
namespace os {
// The room for a private folder's path, its terminating zero included.
constexpr std::size_t private_path_size = 1024;
// Makes a folder of a fresh, unpredictable name that only the user can
// enter, under the system's temporary folder, with a path that fits
// private_path_size; false (errno set) if it can't.
bool make_private_folder(std::string& path);
// Remove a file, an empty folder; safe in a signal handler (system calls only).
void remove_file(const char* path);
void remove_folder(const char* path);
// Installs the handler that calls remove_live_folders on an interrupt.
void on_interrupt_call(void (*remove_live_folders)());
// 0 when the current user may create files in folder, else the error number.
int folder_write_error(const std::string& folder);
// Whether path is a program file: a regular file that may be run.
bool is_program_file(const std::string& path);
// Where and how the command processor looks for a program: the folders
// (separated by list_separator) and the endings it tries.
struct program_search {
    std::string folders;
    char list_separator;
    std::vector<std::string> extensions;
};
program_search program_search_path();
}  // namespace os
