#pragma once

#include "profiles/ProfileSet.h"

#include <QString>
#include <QStringList>
#include <array>

// The rules of the barcode table editor (frmBCTable) and the look-up link
// editors (join keys, fields to show, to retrieve, to update) that need no
// window.
namespace vx {

// ---- Barcode table ----------------------------------------------------------

// One check box of the barcode table editor: a bit (7 is the value 128,
// 0 the value 1) of one entry of a field's BarcodeTable.
struct BarcodeBox {
    const char *caption;
    int entry;
    int bit;
};

constexpr int kBarcodeBoxes = 25;
// Boxes 0..19 stand in "Bar Code Selection", 20..24 in "Conversions".
constexpr int kBarcodeSelectionBoxes = 20;
const std::array<BarcodeBox, kBarcodeBoxes> &BarcodeBoxes();

QString BarcodeWindowTitle(const ProfileField &field); // "<name> : Bar Code Table"

// A box applies when its entry holds a setting: an entry of -1 (or any
// negative value) means the setting does not apply to the terminal, and
// stays as it is.
bool BarcodeBoxApplies(const BarcodeTable &table, int box);
bool BarcodeBoxTicked(const BarcodeTable &table, int box);
// Sets or clears the box's bit; nothing else of the table changes. An
// entry that does not apply is left alone.
void SetBarcodeBox(BarcodeTable &table, int box, bool ticked);

// ---- Look-up links ----------------------------------------------------------

inline QString NotAvailableText()
{
    return QStringLiteral("Not Available");
}

// A field list of the key, retrieve and update windows: `first` at
// position 0, then for fields 1..8 the field's name, or "Not Available"
// when the field is not enabled (still a choice: its position is stored).
QStringList FieldChoiceItems(const ProfileFunction &function, const QString &first);

// The list position of a stored field number: 0..8, -1 (nothing shown)
// for a value outside the list.
int FieldChoicePosition(long long stored);
// RetrieveInto holds the position as decimal text ("0" .. "8"); its
// numeric value is what the list shows.
int RetrieveChoicePosition(const QString &stored);
QString RetrieveChoiceText(int position);

// The look-up file layout a function is linked to, or null when its
// FileNumber is not 1..5.
const ExtFileLayout *LinkedLayout(const ProfileSet &set, const ProfileFunction &function);
// The message of the join-key window for a function without a linked file.
inline QString NoLinkedFileText()
{
    return QStringLiteral("This function is not linked to a look-up file: choose its file first.");
}
// Key list k (0..3) can be chosen only when the layout gives key k an end
// position whose numeric value is greater than 0.
bool JoinKeyListEnabled(const ExtFileLayout &layout, int key);

// Labels of the five operator positions: "+", "--", "x", "/", "Upd".
QStringList UpdateOperatorLabels();
// The slider position for a stored operator (0..4; others show 0).
int UpdateOperatorPosition(qint16 stored);

// A custom update value the terminal can take: single-byte characters, no control
// characters, and no comma (the terminal splits its items at commas).
bool UpdateValueAccepted(const QString &text);

} // namespace vx
