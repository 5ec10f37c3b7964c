#include "files.h"

#include "platform.h"

#include <cerrno>
#include <string>

bool file_handle::open(const char* path, const char* mode, bool buffered)
{
    close();
    errno = 0;
    f_ = std::fopen(path, (std::string(mode) + not_inherited_mode).c_str());
    open_error_ = errno;
    if (f_ == nullptr) return false;
    // The C library takes the size only with a buffer of the caller's.
    if (buffered && !buffer_) buffer_ = std::make_unique<char[]>(stream_buffer_size);
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
    const bool write_error = std::ferror(f_) != 0;
    const int write_errno = errno;
    const bool closed = close() == 0;
    if (write_error && closed) errno = write_errno;
    return closed && !write_error;
}
