#include "files.h"

#include "platform.h"

#include <cerrno>
#include <string>

bool file_handle::open(const char* path, const char* mode, bool buffered)
{
    f_ = std::fopen(path, (std::string(mode) + not_inherited_mode).c_str());
    open_error_ = errno;  // read only when the open failed
    if (f_ == nullptr) return false;
    // The C library takes the size only with a buffer of the caller's.
    if (buffered) buffer_ = std::make_unique<char[]>(stream_buffer_size);
    std::setvbuf(f_, buffered ? buffer_.get() : nullptr, buffered ? _IOFBF : _IONBF, buffered ? stream_buffer_size : 0);
    return true;
}

int file_handle::close()
{
    std::FILE* f = f_;
    f_ = nullptr;
    return f != nullptr ? std::fclose(f) : 0;
}

bool file_handle::close_written()
{
    // A failed write leaves its error number, which nothing after it changes.
    const bool written = std::ferror(f_) == 0;
    return close() == 0 && written;
}
