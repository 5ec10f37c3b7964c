// What the conversion job needs of the operating system, for POSIX systems
// and Windows alike: file identity, folders, programs on the PATH, the
// command processor's status, error texts.
#pragma once

#include <cstdio>
#include <string>

// The separator that the output folder of -o is joined with.
#ifdef _WIN32
constexpr char path_separator = '\\';
#else
constexpr char path_separator = '/';
#endif

// The fopen mode letter that keeps a file from the programs that this one
// starts: an encoder holding another conversion's temporary file open would
// keep it from being removed.
#ifdef _WIN32
constexpr const char* not_inherited_mode = "N";
#else
constexpr const char* not_inherited_mode = "e";
#endif

// Whether c separates folders in a path: '/' everywhere, '\' on Windows too.
bool is_path_separator(char c);

// Whether path names the very file that is open as f, whatever path or link
// leads to it.
bool is_same_file(std::FILE* f, const char* path);

// Why a file can't be created at path: 0 when its folder exists and takes
// new files and path is not a folder; else the error number, with the path
// that it is about (the folder, or path itself).
int why_not_creatable(const std::string& path, std::string& about);

// Whether name is a program that the command processor can find: on the
// PATH, on Windows also in the current folder and with .exe, .bat or .cmd.
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
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};
