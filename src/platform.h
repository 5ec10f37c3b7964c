// What the program needs of the operating system, behind one header: opening
// files, file identity, folders, programs on the PATH, the encoder's process,
// private temporary folders, outputs put in place whole, locks, the standard
// streams, and what an interrupted run ends and removes. platform_posix.cpp and
// platform_windows.cpp implement it for their systems (CMake builds the one
// that fits); platform.cpp holds what the two share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The separator that the output folder of -o is joined with: '/', or '\' on Windows.
extern const char path_separator;

// Opens a file as fopen does ("rb" or "wb"), so that the programs this one
// starts don't inherit it (an encoder holding another conversion's temporary
// file open would keep it from being removed) and so that it can be removed
// while it is open. A folder does not open: errno is EISDIR. Null, with
// errno set, when it can't be opened.
std::FILE* open_file(const char* path, const char* mode);

// Moves f to a byte offset from its start, whatever the file's size; false (errno set) when it can't.
bool seek_file(std::FILE* f, std::uint64_t offset);

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

// Makes the folders of path below base that are missing (base itself must
// exist): 0 when they are there, else the error number, with the folder
// that it is about.
int make_folders_below(const std::string& base, const std::string& path, std::string& about);

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
// when they are given. Returns the command processor's status, or -1 (errno
// set) when it could not be started.
int run_command(const std::string& command, const char* out_path, const char* err_path);

// Whether this system runs programs at all (not in a web browser).
bool programs_can_run();

// The number of processors, at least 1.
unsigned processor_count();

// A file without a name in folder ("" for the current one), open to write
// and read ("w+b"), that the system removes whatever ends the program: on
// Linux an O_TMPFILE file, on Windows one deleted on close, on a local
// volume. Null when the folder has less room than room bytes, or the system
// or file system can't make one.
std::FILE* open_unnamed_file(const std::string& folder, std::uint64_t room);

// A private temporary folder of a conversion: made with a name that nobody
// can predict, entered only by the user, and removed with the files in it
// when the object ends, or when the program is interrupted (Ctrl+C) or
// terminated.
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
    std::string path_;  // empty until made
};

// Where pass 2 writes an output, so that it appears whole or not at all: a
// new file under a hidden name of its own (".NAME.mpg.XXXXXX", with the
// permissions of any new file) in the folder of the file that the output
// names, following symbolic links, put in that file's place by commit. An
// output that exists and is not a regular file (a device such as /dev/full)
// is written in place. The hidden file is removed when the object ends
// uncommitted, or when the program is interrupted or terminated.
class staged_output {
public:
    staged_output() = default;
    ~staged_output();
    staged_output(const staged_output&) = delete;
    staged_output& operator=(const staged_output&) = delete;

    // Opens the file to write; null (errno set) when it can't be made, or
    // when the output exists and can't be written.
    std::FILE* open(const std::string& output);
    // Puts the written and closed file in the output's place; false (errno
    // set) when it can't.
    bool commit();

private:
    std::string target_;  // the file that the output names, links followed
    std::string hidden_;  // the hidden file until it is put in place; empty when written in place
};

// When the program is interrupted or terminated (SIGINT, SIGTERM, SIGHUP, or
// SIGPIPE when standard output or error is closed; Ctrl+C or a closed console
// on Windows), ends the encoders that are running and waits for them,
// removes the private folders and the hidden outputs, and then lets the
// signal end the program. A signal that the caller had ignored stays
// ignored. Installed once, before conversions start.
void clean_up_on_exit_signals();

// Where the program would end: when such a signal has come meanwhile, waits
// for its cleanup to end the program by it rather than ending as if none had
// come.
void wait_for_exit_signal();

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
    // The system's descriptor or handle of the file; -1: none. The browser
    // locks nothing and has none.
    [[maybe_unused]] std::intptr_t handle_ = -1;
};

// What each system's file supplies to platform.cpp.
namespace os {
// The room for a private folder's path, its terminating zero included.
constexpr std::size_t private_path_size = 1024;
// Makes a folder of a fresh, unpredictable name that only the user can
// enter, under the system's temporary folder, with a path that fits
// private_path_size; false (errno set) if it can't.
bool make_private_folder(std::string& path);
// Remove a file (also one that this program holds open), an empty folder.
void remove_file(const char* path);
void remove_folder(const char* path);
// Creates a file that does not exist yet, for writing, with the permissions
// of a new file; null (errno set) if it can't, EEXIST when it exists.
std::FILE* create_new_file(const std::string& path);
// Puts the file from in the place of the file to, replacing it; false (errno set) if it can't.
bool replace_file(const std::string& from, const std::string& to);
// Calls clean_up, then ends the program by the signal (the console event)
// that interrupted or terminated it.
void on_exit_signal_call(void (*clean_up)());
// Whether such a signal (console event) has come.
bool exit_signal_came();
// 0 when the current user may create files in folder, else the error number.
int folder_write_error(const std::string& folder);
// 0 when the current user may write the file at path, else the error number.
int file_write_error(const std::string& path);
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
// A command started through the command processor: the system's handles of
// its process and of the group of processes that it and what it starts belong to.
struct started_command {
    std::intptr_t process = -1;
    std::intptr_t group = -1;
};
// Starts command as run_command does; false (errno set) when it can't.
bool start_command(const std::string& command, const char* out_path, const char* err_path, started_command& started);
// Waits for a started command to end; returns its status.
int wait_command(const started_command& started);
// Lets go of what the system holds for an ended command.
void release_command(const started_command& started);
// Ends the commands and what they started, and waits for them (a few seconds at most).
void end_commands(const std::vector<started_command>& commands);
}  // namespace os
