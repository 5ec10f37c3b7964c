#include "vornalt.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdio>

// The MinGW-w64 runtime expands wildcards in the arguments (cmd.exe leaves
// *.sfd to the program).
extern "C" {
int _dowildcard = -1;
}
#endif

int main(int argc, char** argv)
{
#ifdef _WIN32
    // Messages end in "\n" as on every other system, not in "\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    return run(argc, argv);
}
