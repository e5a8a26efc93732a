// Stands in until the part that owns this command is linked in; delete this
// file when it is.
#include "Commands.h"

#include <cstdio>

int vx::RunReceiveSettings(const QStringList &)
{
    std::fprintf(stderr, "Vendrix: this command is not part of this build yet.\n");
    return 2;
}
