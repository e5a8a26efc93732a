#include "profiles/LinkEditRules.h"
#include "profiles/ProfileFile.h"

namespace vx {

const std::array<BarcodeBox, kBarcodeBoxes> &BarcodeBoxes()
{
    static const std::array<BarcodeBox, kBarcodeBoxes> boxes{{
        {"Code 39", 0, 7},           {"Italy PharmaCode", 0, 6}, {"CIP 39", 0, 5},        {"Industrial 25", 0, 4},
        {"Interleave 25", 0, 3},     {"Matrix 25", 0, 2},        {"Codabar (NW7)", 0, 1}, {"Code 93", 0, 0},
        {"Code 128", 1, 7},          {"UPCE no Addon", 1, 6},    {"UPCE Addon 2", 1, 5},  {"UPCE Addon 5", 1, 4},
        {"EAN8 no Addon", 1, 3},     {"EAN 8 Addon 2", 1, 2},    {"EAN 8 Addon 5", 1, 1}, {"EAN 13 no Addon", 1, 0},
        {"EAN 13 Addon 2", 2, 7},    {"EAN 13 Addon 5", 2, 6},   {"MSI", 2, 5},           {"Plessey", 2, 4},
        {"Std to UK Plessey", 9, 2}, {"UPCE to UPCA", 9, 1},     {"UPCA to EAN13", 9, 0}, {"ISBN Conversion", 10, 7},
        {"ISSN Conversion", 10, 6},
    }};
    return boxes;
}

QString BarcodeWindowTitle(const ProfileField &field)
{
    return field.Name + QStringLiteral(" : ") + QStringLiteral("Bar Code Table");
}

bool BarcodeBoxApplies(const BarcodeTable &table, int box)
{
    return box >= 0 && box < kBarcodeBoxes && table[BarcodeBoxes()[box].entry] >= 0;
}

bool BarcodeBoxTicked(const BarcodeTable &table, int box)
{
    if (!BarcodeBoxApplies(table, box))
        return false;
    const BarcodeBox &b = BarcodeBoxes()[box];
    return (table[b.entry] & (1 << b.bit)) != 0;
}

void SetBarcodeBox(BarcodeTable &table, int box, bool ticked)
{
    if (!BarcodeBoxApplies(table, box))
        return;
    const BarcodeBox &b = BarcodeBoxes()[box];
    const qint16 mask = qint16(1 << b.bit);
    table[b.entry] = ticked ? qint16(table[b.entry] | mask) : qint16(table[b.entry] & ~mask);
}

QStringList FieldChoiceItems(const ProfileFunction &function, const QString &first)
{
    QStringList items{first};
    for (const ProfileField &field : function.Fields)
        items << (field.Enabled == 1 ? field.Name : NotAvailableText());
    return items;
}

int FieldChoicePosition(long long stored)
{
    return stored >= 0 && stored <= 8 ? int(stored) : -1;
}

int RetrieveChoicePosition(const QString &stored)
{
    return FieldChoicePosition(LeadingNumber(stored));
}

QString RetrieveChoiceText(int position)
{
    return QString::number(position);
}

const ExtFileLayout *LinkedLayout(const ProfileSet &set, const ProfileFunction &function)
{
    if (function.ExtLink.FileNumber < 1 || function.ExtLink.FileNumber > 5)
        return nullptr;
    return &set.ExtFileLayouts[function.ExtLink.FileNumber - 1];
}

bool JoinKeyListEnabled(const ExtFileLayout &layout, int key)
{
    return key >= 0 && key < int(layout.KeyTo.size()) && LeadingNumber(layout.KeyTo[key]) > 0;
}

QStringList UpdateOperatorLabels()
{
    return {QStringLiteral("+"), QStringLiteral("--"), QStringLiteral("x"), QStringLiteral("/"), QStringLiteral("Upd")};
}

int UpdateOperatorPosition(qint16 stored)
{
    return stored >= 0 && stored <= 4 ? stored : 0;
}

bool UpdateValueAccepted(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 32 || c.unicode() > 255 || c == QLatin1Char(','))
            return false;
    }
    return true;
}

} // namespace vx
