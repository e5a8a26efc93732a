#pragma once

#include <QString>
#include <QStringList>
#include <array>

namespace vx {

// The record-store target kinds, in the order the options dialog lists
// them: the Type text that names each in a DBMS(n) section, and the file
// filter ("caption|pattern") its file dialog offers (empty: the kind's Name
// is not a file). The store makes a target of each (MakeTarget); no other
// part of the program tells the kinds apart.
struct TargetKind {
    const char *type;
    const char *filter;
};
const std::array<TargetKind, 8> &TargetKinds();
// The Type texts of TargetKinds().
const QStringList &TargetTypes();
// The filter of the kind at index; empty outside the table.
QString TargetFilter(int index);

} // namespace vx
