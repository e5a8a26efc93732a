#pragma once

#include <QByteArray>
#include <QString>
#include <array>

namespace vx {

// The row layout of every database target: 21 text columns, the whole
// record in AllRek and the split fields in Field1..Field20.
namespace TargetLayout {

constexpr int ColumnCount = 21;
constexpr int AllRekWidth = 255;
constexpr int FieldWidth = 50;
inline constexpr const char *SqliteTable = "Vendrix";

// "AllRek" for index 0, "Field1".."Field20" for 1..20.
inline QByteArray ColumnName(int index)
{
    return index == 0 ? QByteArrayLiteral("AllRek") : "Field" + QByteArray::number(index);
}
inline int ColumnWidth(int index)
{
    return index == 0 ? AllRekWidth : FieldWidth;
}

} // namespace TargetLayout

// One row's values as bytes of the single-byte code page, already cut to
// their column widths.
using TargetRow = std::array<QByteArray, TargetLayout::ColumnCount>;

} // namespace vx
