#include "app/Commands.h"

int main(int argc, char **argv)
{
    return vx::RunCommandLine(argc, argv);
}
