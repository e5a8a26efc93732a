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
// What a kind's Name holds: a file of records, the ERP's database file (which
// must exist already), or a server's connection text.
enum class TargetName { RecordFile, ErpDatabase, ServerConnection };
struct TargetKind {
    const char *type;
    const char *filter;
    TargetName name;
};
const std::array<TargetKind, 8> &TargetKinds();
// The Type texts of TargetKinds().
const QStringList &TargetTypes();
// The filter of the kind at index; empty outside the table.
QString TargetFilter(int index);
// What the Name of a target of this Type holds (blanks around the Type
// ignored). A Type the program does not know stores as text: a record file.
TargetName TargetNameOf(const QString &type);

} // namespace vx
