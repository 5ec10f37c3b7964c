#include "cli.h"
#include "platform.h"

#include <cstdio>

int main(int argc, char** argv)
{
    prepare_standard_streams();
    const int status = run(argc, argv);
    // What is still buffered goes out now, while a closed standard output can still end the run by SIGPIPE.
    std::fflush(stdout);
    std::fflush(stderr);
    wait_for_exit_signal();
    return status;
}
