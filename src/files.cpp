#include "files.h"

#include "platform.h"

#include <cerrno>

bool owned_file::open(const char* path, const char* mode, bool buffered)
{
    std::FILE* f = open_file(path, mode);
    open_error_ = errno;  // read only when the open failed
    return adopt(f, buffered);
}

bool owned_file::adopt(std::FILE* f, bool buffered)
{
    f_ = f;
    if (f_ == nullptr) return false;
    // The C library takes the size only with a buffer of the caller's.
    if (buffered) buffer_ = std::make_unique<char[]>(stream_buffer_size);
    std::setvbuf(f_, buffered ? buffer_.get() : nullptr, buffered ? _IOFBF : _IONBF, buffered ? stream_buffer_size : 0);
    return true;
}

int owned_file::close()
{
    std::FILE* f = f_;
    f_ = nullptr;
    return f != nullptr ? std::fclose(f) : 0;
}

bool owned_file::close_written()
{
    // A failed write leaves its error number, which nothing after it changes.
    const bool written = std::ferror(f_) == 0;
    return close() == 0 && written;
}
