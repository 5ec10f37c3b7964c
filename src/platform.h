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

// Whether c separates folders in a path: '/' everywhere, '\' on Windows too.
bool is_path_separator(char c);

// Whether path names the very file that is open as f, whatever path or link
// leads to it.
bool is_same_file(std::FILE* f, const char* path);

// The system's text for an error number.
std::string error_text(int err);

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
