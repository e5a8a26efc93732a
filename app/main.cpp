#include "app/Commands.h"
#include "store/SqliteSetup.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Standard input, output or error closed by whoever started the program
// would be taken by the first descriptors it opens (the event loop's wake-up,
// the pipe that carries signals, a log file), and what it prints would go
// into them: each closed one is opened on /dev/null first.
void OpenClosedStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    OpenClosedStandardDescriptors();
    vx::ConfigureSqlite();
    return vx::RunCommandLine(argc, argv);
}
