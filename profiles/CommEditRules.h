#pragma once

#include "profiles/ProfileSet.h"

#include <QString>
#include <QStringList>
#include <optional>

// The rules of the communication settings editor (frmProfileComm) that need
// no window: the port tabs and their lists, the number and separator boxes,
// the block wait choice and the record structure lists.
namespace vx {

// ---- Captions and lists ---------------------------------------------------

QString CommWindowTitle(const ProfileFunction &function); // "<name> : Communication Parameter"
QStringList TerminalFamilies();                           // "711", "8000", "8300"
QStringList PortTabCaptions();                            // "RS232", "Docking", "Keyboard", "IrDa", "IR"
constexpr int kKeyboardTab = 2;
QStringList ParityItems();      // "None", "Even", "Odd"
QStringList DataBitsItems();    // "7", "8"
QStringList FlowControlItems(); // "None", "Cts/Rts", "Xon/Xoff"
QStringList ProtocolItems();    // "None", "ACK/NAK"
QStringList TerminatorItems();  // "None", "Constant 1" .. "Constant 10"

// ---- Port tabs --------------------------------------------------------------

// The tab brought to front for a stored Port: its tab, the first tab when
// the port is 0 (or unknown).
int TabForPort(qint16 port);
// Port after the user chose a tab: tab + 1, except the "Keyboard" tab,
// which leaves the port as it was.
qint16 PortAfterTab(int tab, qint16 port);

// The speed list of a tab: "115200", "76800", ... "2400"; the "Keyboard"
// tab's list lacks "76800".
QStringList SpeedItems(bool keyboardTab);
// Speed is always a position in the full list; the "Keyboard" tab's list is
// mapped by the rate it shows, so choosing "57600" there stores 57600.
// The position a tab's list shows for a stored speed (-1: not in the list).
int SpeedListPosition(bool keyboardTab, qint16 speed);
// The stored speed for a position chosen in a tab's list.
qint16 SpeedFromListPosition(bool keyboardTab, int position);

// ---- Number boxes -----------------------------------------------------------

// What a delay, block or wait-time box stores: 0 for blank text, the number
// for a whole number 0..32767 (blanks around it allowed). Anything else
// (letters, a sign, a number too large) stores nothing: the member keeps
// the last value that was accepted.
std::optional<qint16> NumberBoxValue(const QString &text);

// ---- Block wait -------------------------------------------------------------

// Exactly one of BlockWaitCR / BlockWaitTime is -1: the chosen one.
void SetBlockWait(FunctionCommSettings &comm, bool waitTime);

// ---- Separators -------------------------------------------------------------

// The character a separator code stands for: the character with that code
// when it is greater than 0 and less than 255, else empty.
QString SeparatorCharacter(int code);

// One separator: a character box and a decimal code box kept in step, for
// the field pair (`blankIsEmpty`: a box holding only blanks counts as empty)
// or the decimal pair. Each edit sets both members, so the stored code is
// always the one the window shows beside the character.
struct SeparatorPair {
    QString &character;
    qint16 &code;
    bool blankIsEmpty;

    // The code box was edited: the text of the character box. A whole number
    // that fits 16 bits becomes the code (and its character the separator);
    // any other text leaves both members as they were.
    QString codeEdited(const QString &codeText);
    // The character box was edited: the text of the code box (the code of
    // the first character, empty when the box is empty). The separator
    // becomes the text without its blanks; its code the shown code. An
    // empty box, or a first character beyond code 255, changes nothing.
    QString characterEdited(const QString &charText);
};

// ---- Record structure -------------------------------------------------------

inline QString NoMoreRoomText()
{
    return QStringLiteral("No more room for record structure");
}
constexpr int kMaxRecordStructureItems = 25;
// Slots the record structure uses and the file stores.
constexpr int kStoredRecordSlots = 26;

// The items of "Available Fields" for a function, in list order: "01 Date"
// .. "07 Profile", one item per enabled field ("08 <name>" .. "15 <name>"),
// "16 Constant 1" .. "25 Constant 10", "26 Check Digit".
QStringList AvailableRecordItems(const ProfileFunction &function);

// The two lists of the record-structure editor.
class RecordStructureList {
public:
    explicit RecordStructureList(const ProfileFunction &function);

    const QStringList &available() const { return m_available; }
    const QStringList &chosen() const { return m_chosen; }

    // Loads "Rec Structure" from slots 0..25: each non-blank slot becomes
    // the first available item whose code has the same numeric value. A
    // slot whose code 01..26 matches no item (a field that is not enabled)
    // stays in the list, marked, so that "OK" keeps what the user did not
    // remove; a slot that holds no such code is dropped. The slots are not
    // changed. (A
    // file may fill all 26 slots; they are all kept, and adding waits until
    // the list is below 25 items again.)
    void load(const RecordStructure &record);
    // Appends available item `index` (the same item may come more than
    // once). False when the list already holds 25 items, or no such item.
    bool add(int index);
    bool isFull() const { return m_chosen.size() >= kMaxRecordStructureItems; }
    // Removes chosen item `index`; false when there is none.
    bool remove(int index);
    // Slot i = the code (first two characters) of item i; the rest of the
    // stored slots are emptied.
    void store(RecordStructure &record) const;

private:
    QString unavailableItem(const QString &slot) const;

    QStringList m_available;
    QStringList m_chosen;
    QStringList m_fieldNames;
};

} // namespace vx
