#pragma once

#include <QString>
#include <QtGlobal>
#include <array>

// The terminal profile: the data-collection application that runs on a
// handheld terminal. Plain copyable values; the file reader and writer
// (ProfileFile.h), the editors and the settings transfer all work on them.
//
// Integers are signed 16-bit as the terminal stores them; a flag is 0 (off)
// or 1 (on). List choices are held as their zero-based position. Indices are
// zero-based (functions 0..4, fields 0..7, look-up files 0..4, constants 0..9).
namespace vx {

// The symbology settings of the reader for one field: 28 entries, -1 where a
// setting does not apply (such entries are never written to a file).
using BarcodeTable = std::array<qint16, 28>;

// The table every new field receives; built once, lives for the whole run.
const BarcodeTable &DefaultBarcodeTable();

struct TerminalOptions {
    qint16 Language = 0; // 0 Italiano, 1 English, 2 Deutsch, 3 Francais, 4 Espanol
    qint16 OperatorIdEnabled = 0;
    QString OperatorIdValue = QStringLiteral("01");
    qint16 TerminalIdEnabled = 1;
    QString TerminalIdValue = QStringLiteral("01");
    qint16 BeepOnError = 1;
    qint16 BeepOnRead = 1;
    qint16 AutoBackLight = 0;
    qint16 AutoPort = 0;            // 0 off, 1 RS232, 2 Docking, 3 Keyboard, 4 IrDa, 5 IR
    qint16 AutoPortSpeed = 0;       // position in 115200, 76800, 57600, ... 2400
    qint16 AutoPortParity = 0;      // 0 None, 1 Even, 2 Odd
    qint16 AutoPortDataBits = 0;    // 0 "7", 1 "8"
    qint16 AutoPortFlowControl = 0; // 0 None, 1 Cts/Rts, 2 Xon/Xoff
    qint16 AutoTransmit = 0;        // "TX/RX Automatic"

    bool operator==(const TerminalOptions &o) const;
    bool operator!=(const TerminalOptions &o) const { return !(*this == o); }
};

// A user constant of up to ten characters. Codes is what gets stored (the
// decimal code 0..255 of each character, empty for a free position); Text
// follows from the codes.
struct ProfileConstant {
    QString Text;
    std::array<QString, 10> Codes;

    bool operator==(const ProfileConstant &o) const;
    bool operator!=(const ProfileConstant &o) const { return !(*this == o); }
};

// Byte positions (decimal text, empty when unset; the first byte is 0) of the
// key fields and user fields inside a record of one look-up file.
struct ExtFileLayout {
    std::array<QString, 5> KeyFrom; // four used
    std::array<QString, 5> KeyTo;
    std::array<QString, 8> UserFrom;
    std::array<QString, 8> UserTo;

    bool operator==(const ExtFileLayout &o) const;
    bool operator!=(const ExtFileLayout &o) const { return !(*this == o); }
};

struct ProfileField {
    QString Name; // set by SetDefault: "Field 1" .. "Field 8"
    qint16 Enabled = 1;
    qint16 Level = 0;                            // screen 0..4
    QString Mask = QStringLiteral("**********"); // its length is the field length
    QString MinLength;
    qint16 IsKey = 0;
    qint16 IsSum = 0;
    qint16 DefaultEnabled = 0;
    qint16 DefaultAutomatic = 0;
    QString DefaultValue;
    qint16 InputKeyboard = 1;
    qint16 InputReader = 1;
    qint16 InputReaderAutoCR = 1;
    BarcodeTable Barcode = DefaultBarcodeTable();
    qint16 Align = 0; // 0 left, 1 right, 2 trim

    bool operator==(const ProfileField &o) const;
    bool operator!=(const ProfileField &o) const { return !(*this == o); }
};

// What the terminal does with a repeated record.
enum DualRecordRule : qint16 {
    DualIgnore = 0,
    DualRejectOnKey = 1,
    DualRejectOnRecord = 2,
    DualSumUp = 3,
};

// Use of a look-up file by one function. Field numbers are 1-based (0 none).
struct ExtFileLink {
    qint16 FileNumber = 0;            // 0 none, 1..5
    std::array<qint16, 5> KeyField{}; // four used
    qint16 QueryActive = 0;
    std::array<qint16, 8> QueryShowField{};
    qint16 RetrieveActive = 0;
    std::array<QString, 8> RetrieveInto; // "0" .. "8"
    qint16 UpdateActive = 0;
    std::array<qint16, 8> UpdateEnabled{};
    std::array<qint16, 8> UpdateOperator; // 0 "+", 1 "-", 2 "*", 3 "/", 4 "U"
    std::array<qint16, 8> UpdateWithField{};
    std::array<QString, 8> UpdateValue;
    qint16 QueryStop = 0;
    qint16 RetrieveStop = 0;
    qint16 UpdateStop = 0;

    ExtFileLink();
    bool operator==(const ExtFileLink &o) const;
    bool operator!=(const ExtFileLink &o) const { return !(*this == o); }
};

// Slots 0..30 of the transmitted record layout: empty, or text whose first
// two characters are the item code "01" .. "26". Slots 0..25 are stored.
using RecordStructure = std::array<QString, 31>;

struct FunctionCommSettings {
    qint16 Protocol = 1; // 0 None, 1 ACK/NAK
    qint16 Port = 1;     // as TerminalOptions::AutoPort
    qint16 Speed = 5;    // 9600
    qint16 Parity = 0;
    qint16 DataBits = 1;
    qint16 FlowControl = 0;
    qint16 TxImmediate = 0;
    qint16 CheckCable = 1;
    qint16 RecordDelay = 0;
    qint16 FieldDelay = 0;
    qint16 RecordBlock = 0;
    qint16 BlockWaitCR = -1;  // -1 waits for CR after a block; exclusive with
    qint16 BlockWaitTime = 0; // -1 waits BlockWaitMs instead
    qint16 BlockWaitMs = 0;
    qint16 BlockTerminator = 0; // 0 none, 1..10 constant 1..10
    QString FieldSeparator = QStringLiteral(",");
    qint16 FieldSeparatorCode = 44;
    QString DecimalSeparator = QStringLiteral(".");
    qint16 DecimalSeparatorCode = 46;
    ::vx::RecordStructure RecordStructure;

    bool operator==(const FunctionCommSettings &o) const;
    bool operator!=(const FunctionCommSettings &o) const { return !(*this == o); }
};

struct ModemSettings {
    qint16 Present = 0;
    QString DialNumber;                           // at most 20 characters are read back
    QString ResetString;                          // 10
    QString InitString;                           // 60
    QString DialCommand = QStringLiteral("ATDT"); // 10
    qint32 Timeout = 60000;                       // milliseconds, at most 6 digits

    bool operator==(const ModemSettings &o) const;
    bool operator!=(const ModemSettings &o) const { return !(*this == o); }
};

struct ProfileFunction {
    QString Name; // set by SetDefault: "Function 1" .. "Function 5"
    qint16 Enabled = 1;
    qint16 SaveData = 1;
    std::array<ProfileField, 8> Fields;
    qint16 DualConsecutive = DualRejectOnKey;
    qint16 DualNotConsecutive = DualRejectOnKey;
    ExtFileLink ExtLink;
    FunctionCommSettings Comm;
    ModemSettings Modem;

    bool operator==(const ProfileFunction &o) const;
    bool operator!=(const ProfileFunction &o) const { return !(*this == o); }
};

struct ProfileSet {
    // "711", "8000" or "8300". "8000" at start; SetDefault leaves it alone.
    QString TerminalFamily = QStringLiteral("8000");
    ::vx::TerminalOptions TerminalOptions;
    std::array<ProfileConstant, 10> Constants;
    std::array<ExtFileLayout, 5> ExtFileLayouts;
    std::array<ProfileFunction, 5> Functions;

    // A freshly built set is already in its New state.
    ProfileSet();

    // "New": every member back to its default, names and barcode tables
    // included; TerminalFamily is not touched.
    void SetDefault();

    // "8000" or "8300": the terminals with the 8-family port and name rules.
    bool IsEightFamily() const;

    bool operator==(const ProfileSet &o) const;
    bool operator!=(const ProfileSet &o) const { return !(*this == o); }
};

// The one profile of the program and the editor state kept beside it.
struct ProfileWorkspace {
    ProfileSet Profile;
    qint16 CurrentFunction = 0;     // function the editor shows, 0..4
    qint16 CurrentBarcodeField = 0; // field whose barcode table is edited, 0..7
    QString ProfileFileName;        // the profile file the send window sends
};

// The program-wide workspace; lives for the whole run.
ProfileWorkspace &profileWorkspace();

} // namespace vx
