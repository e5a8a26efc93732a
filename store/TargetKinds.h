#pragma once

#include "store/RecordTarget.h"

#include <QString>
#include <QStringList>
#include <array>
#include <memory>

namespace vx {

// The record-store target kinds, in the order the options dialog lists
// them: the Type text that names each in a DBMS(n) section, and the file
// filter ("caption|pattern") its file dialog offers (empty: the kind has no
// file to choose).
struct TargetKind {
    const char *type;
    const char *filter;
};
const std::array<TargetKind, 8> &TargetKinds();
// The Type texts of TargetKinds().
const QStringList &TargetTypes();
// The filter of the kind at index; empty outside the table.
QString TargetFilter(int index);

// Makes the target that a DBMS(n) section describes. A Type the program
// does not know writes text lines, as "TXT (*.txt)" does. collector names
// this collector in a shared server's rows.
std::unique_ptr<RecordTarget> MakeTarget(const TargetContext &context, const QString &collector);

} // namespace vx
