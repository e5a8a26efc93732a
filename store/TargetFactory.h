#pragma once

#include "store/RecordTarget.h"

#include <QString>
#include <memory>

namespace vx {

// Makes the target that a DBMS(n) section describes, for each kind of
// TargetKinds() (settings/TargetKinds.h). A Type the program does not know
// writes text lines, as "TXT (*.txt)" does. collector names this collector
// in a shared server's rows.
std::unique_ptr<RecordTarget> MakeTarget(const TargetContext &context, const QString &collector);

} // namespace vx
