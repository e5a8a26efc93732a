// Stands in until the collector window is linked in; delete this file when
// it is. Without it the collector runs headless.
#include "CollectorMain.h"

int vx::RunCollectorWindow(CollectorApp &)
{
    return -1;
}
