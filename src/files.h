// The files of a conversion: an open FILE* owned by a small handle that
// closes it on every path out, with a large stream buffer of its own.
#pragma once

#include <cstdio>
#include <memory>

// Stream buffer of every file of a job: large enough that the per-sector and
// per-unit reads and writes turn into few system calls, fixed whatever the
// file size.
constexpr std::size_t stream_buffer_size = 256 * 1024;

// Owns an open FILE*, with a buffer of stream_buffer_size (or none); closes
// it on every path out. Keeps the error number of a failed open. Files are
// opened so that programs started meanwhile (the encoders of conversions
// running side by side) don't inherit them.
class owned_file {
public:
    owned_file() = default;
    owned_file(const char* path, const char* mode, bool buffered = true) { open(path, mode, buffered); }
    ~owned_file() { close(); }
    owned_file(const owned_file&) = delete;
    owned_file& operator=(const owned_file&) = delete;

    std::FILE* get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    int open_error() const { return open_error_; }

    // Opens path in a handle that holds no file; false when it can't be opened.
    bool open(const char* path, const char* mode, bool buffered = true);
    // Takes an open file (null: none) into a handle that holds no file; false for none.
    bool adopt(std::FILE* f, bool buffered = true);
    int close();

    // Closes the file and tells whether every write to it and the close went
    // through; the error number of a failure is left in errno.
    bool close_written();

private:
    std::FILE* f_ = nullptr;
    int open_error_ = 0;
    std::unique_ptr<char[]> buffer_;  // outlives the stream: the destructor closes it first
};
