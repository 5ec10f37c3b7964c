#include "messages.h"

#include <cstdarg>
#include <cstdio>
#include <system_error>

namespace {

void vprint(bool held, std::string& text, std::FILE* stream, const char* format, std::va_list args)
{
    if (!held) {
        std::vfprintf(stream, format, args);
        return;
    }
    // Measured first, then formatted at its length, however long a path it holds.
    std::va_list again;
    va_copy(again, args);
    std::string line(static_cast<std::size_t>(std::vsnprintf(nullptr, 0, format, args)), '\0');
    std::vsnprintf(line.data(), line.size() + 1, format, again);  // its terminating zero where the string's stands
    text += line;
    va_end(again);
}

}  // namespace

void say(messages& m, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    vprint(m.held, m.out, stdout, format, args);
    va_end(args);
}

void tell(messages& m, const char* format, ...)
{
    // Our own lines on standard output come first in a shared log.
    if (!m.held) std::fflush(stdout);
    std::va_list args;
    va_start(args, format);
    vprint(m.held, m.err, stderr, format, args);
    va_end(args);
}

void tell_now(const char* format, ...)
{
    std::fflush(stdout);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void print_held(const messages& m)
{
    std::fwrite(m.out.data(), 1, m.out.size(), stdout);
    std::fflush(stdout);
    std::fwrite(m.err.data(), 1, m.err.size(), stderr);
    std::fflush(stderr);
}

std::string error_text(int err)
{
    return std::generic_category().message(err);  // strerror's text, safe from several threads
}

void tell_reason(messages& m, const std::string& path, int err)
{
    tell(m, "vornalt: %s: %s\n", path.c_str(), error_text(err).c_str());
}
