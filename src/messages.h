// Where messages go: standard output for what scripts read (progress, a
// movie's own messages, reports), standard error for why. Everything the
// program prints goes through here.
#pragma once

#include <string>

// Where a conversion's messages go: printed at once, to standard output and
// standard error, or held while conversions run side by side and printed
// whole when the conversion ends.
struct messages {
    bool held = false;
    std::string out;  // standard output, while held
    std::string err;  // standard error, while held
};

#if defined(__GNUC__)
#define VORNALT_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define VORNALT_PRINTF(f, a)
#endif

// Formatted like printf: say to standard output, tell to standard error.
void say(messages& m, const char* format, ...) VORNALT_PRINTF(2, 3);
void tell(messages& m, const char* format, ...) VORNALT_PRINTF(2, 3);

// Formatted like printf, to standard error at once, even while a
// conversion's messages are held: what a run reports as it goes.
void tell_now(const char* format, ...) VORNALT_PRINTF(1, 2);

// Prints what was held: the standard output, then the standard error.
void print_held(const messages& m);

// The system's text for an error number.
std::string error_text(int err);
// "vornalt: PATH: REASON" on standard error, after a failure that the system reported.
void tell_reason(messages& m, const std::string& path, int err);
