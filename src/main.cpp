#include "cli.h"
#include "platform.h"

int main(int argc, char** argv)
{
    prepare_standard_streams();
    return run(argc, argv);
}
