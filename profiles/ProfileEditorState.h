#pragma once

#include "profiles/ProfileSet.h"

#include <QString>
#include <QStringList>
#include <array>

// The rules of the profile editor, callable without its window: every edit
// the window takes from a control goes through one of these calls, which
// writes the model at once or refuses the change with the message the user
// must see. The window only maps its controls to them and shows back what
// the model holds afterwards.
namespace vx {

class Messenger;

// The outcome of one edit: accepted, or refused with a message. A refused
// edit leaves the model as it was; the control shows the model's value again.
struct EditVerdict {
    bool accepted = true;
    QString message; // shown as an information message when not empty

    static EditVerdict ok() { return {}; }
    static EditVerdict refused(const QString &text) { return {false, text}; }
    // Accepted, but the model was repaired and the user is told why.
    static EditVerdict repaired(const QString &text) { return {true, text}; }
};

// How the ten constant boxes show a constant.
enum class ConstantMode { AsString, AsAsciiCode };

// Which of the look-up link's modes a call is about.
enum class ExtMode { Query = 0, Retrieve = 1, Update = 2 };

class ProfileEditorState {
public:
    explicit ProfileEditorState(ProfileWorkspace &workspace = profileWorkspace());

    ProfileWorkspace &workspace() { return m_ws; }
    ProfileSet &profile() { return m_ws.Profile; }
    const ProfileSet &profile() const { return m_ws.Profile; }
    int currentFunction() const { return m_ws.CurrentFunction; }
    ProfileFunction &function() { return m_ws.Profile.Functions[size_t(m_ws.CurrentFunction)]; }
    const ProfileFunction &function() const { return m_ws.Profile.Functions[size_t(m_ws.CurrentFunction)]; }
    ProfileField &field(int i) { return function().Fields[size_t(i)]; }
    const ProfileField &field(int i) const { return function().Fields[size_t(i)]; }

    // Set while the window fills its controls from the model: key clicks
    // are ignored then.
    bool LoadingControls = false;
    // Set while the ten constant boxes are refilled or converted: their
    // changes are ignored then.
    bool ConstantBoxesBusy = false;

    // ---- Commands and caption ------------------------------------------------
    static QString UntitledCaption() { return QStringLiteral("Profile : Untitled*"); }
    QString caption() const { return m_caption; }
    // "New": every member back to its default, function 0 shown.
    void New();
    // "Open" once a file is chosen: New, then the file read; function 0
    // shown and the caption names the file. False (caption untouched) when
    // the read failed; the reader has told the user why.
    bool Open(const QString &path, Messenger &messenger);
    // Caption after a successful "Save As".
    void SavedAs(const QString &path);
    // "Save As": asks for the name, writes the profile file (or the C
    // source export for a name ending in ".c"), names the file in the
    // caption and asks whether to send it to a terminal; on Yes the file
    // becomes the ProfileFileName to send.
    enum class SaveAsOutcome { Cancelled, Failed, SavedSource, Saved, SavedToSend };
    SaveAsOutcome SaveAs(Messenger &messenger);
    // "Save": writes the profile to the file it was opened from or last
    // saved as, changed or not, without further questions; a profile that
    // has no file yet goes through "Save As".
    SaveAsOutcome Save(Messenger &messenger);
    // A new profile whose file is `path` (not there yet): "Save" writes it.
    void NewAt(const QString &path);
    // The file "Save" writes; empty before the first Open or Save As.
    QString filePath() const { return m_path; }
    // Whether the profile differs from what was last opened, saved or made new.
    bool modified() const { return !(m_ws.Profile == m_clean); }
    // After an import from a terminal or a profile copy: function 0 shown.
    void SelectFunction(int function);
    // "Close" asks first when the profile was never saved or opened.
    bool closeNeedsConfirmation() const { return m_caption.endsWith(QLatin1Char('*')); }
    static QString CloseQuestion() { return QStringLiteral("Profile not saved.\n Are you sure to quit?"); }
    static QString CloseTitle() { return QStringLiteral("Vendrix PC"); }

    // ---- Terminal family -----------------------------------------------------
    // "711", "8000" or "8300", as read from a file or taken back from the
    // communication settings: no name is touched. A profile of family "8300"
    // reads back as "8000" (the file holds only "8xxx"), so cutting here
    // would cut the 20-character names of every 8300 profile opened.
    void SetTerminalFamily(const QString &family);
    // The user chose a family. On "8000" the field names of the current
    // function (the names shown) longer than 16 characters are cut to their
    // first 16; other functions keep theirs.
    void ChooseTerminalFamily(const QString &family);
    // The longest field name the user may type for the family: 16 on
    // "8000", else 20.
    int fieldNameLimit() const;

    // ---- Field rules (field i of the current function) ----------------------
    EditVerdict SetFieldEnabled(int i, bool on);
    EditVerdict SetKey(int i, bool on);
    EditVerdict SetSum(int i, bool on);
    EditVerdict SetInputKeyboard(int i, bool on);
    EditVerdict SetInputReader(int i, bool on);
    EditVerdict SetInputAutoCR(int i, bool on);
    void SetDefaultEnabled(int i, bool on);
    void SetDefaultAutomatic(int i, bool on);
    // Never longer than the mask: a longer text is refused.
    EditVerdict SetDefaultValue(int i, const QString &text);
    // Only "9", "." and "*": anything else is refused (without a message, as
    // the key does nothing). The default value is cut to the new length.
    static bool IsMaskText(const QString &text);
    EditVerdict SetMask(int i, const QString &text);
    // "(n)": the number of characters of the mask.
    static QString MaskCountLabel(const QString &maskText);
    // A blank mask becomes ten asterisks when its box loses the focus.
    EditVerdict MaskFocusLost(int i);
    // Stored as typed. A name may not grow beyond the family's limit (the
    // key does nothing); a longer name read from a file stays whole and may
    // be shortened.
    EditVerdict SetFieldName(int i, const QString &text);
    EditVerdict FieldNameFocusLost(int i);
    // Stored trimmed.
    EditVerdict SetFunctionName(const QString &text);
    EditVerdict FunctionNameFocusLost();
    void SetLevel(int i, int level);
    void SetAlign(int i, int align);
    // Digits only.
    EditVerdict SetMinLength(int i, const QString &text);
    void SetFunctionEnabled(bool on);
    void SetFunctionSaveData(bool on);

    // ---- Dual Manage ---------------------------------------------------------
    void SetDualConsecutive(int rule);
    void SetDualNotConsecutive(int rule);
    // "Sum Up" on the not-consecutive slider locks the consecutive one there.
    bool consecutiveLocked() const { return function().DualNotConsecutive == DualSumUp; }
    QString dualWarning() const;

    // ---- Look-up link ("Ext. File" tab) --------------------------------------
    void SetExtFileNumber(int fileNumber); // 0 none, 1..5
    void SetExtMode(ExtMode mode, bool on);
    void SetExtStop(ExtMode mode, bool on);
    bool extModeActive(ExtMode mode) const;
    bool extStop(ExtMode mode) const;
    // The mode and Stop boxes and the join-key button: only with a file.
    bool extControlsEnabled() const { return function().ExtLink.FileNumber != 0; }
    // A mode's "Define" button: with a file and the mode ticked.
    bool extDefineEnabled(ExtMode mode) const { return extControlsEnabled() && extModeActive(mode); }

    // ---- Look-up file layouts ("External Files" tab) ------------------------
    int SelectedExtFile = 0; // 0..4
    // kind: 0 KeyFrom, 1 KeyTo, 2 UserFrom, 3 UserTo. Digits only.
    EditVerdict SetLayoutPosition(int kind, int index, const QString &text);
    QString layoutPosition(int kind, int index) const;
    // The "Name" beside each user field: a note for this editing session,
    // not part of the stored profile.
    std::array<std::array<QString, 8>, 5> UserFieldNotes;

    // ---- Automatic transmission ("Common" tab) -------------------------------
    static constexpr int KeyboardTab = 2;
    // The tab of the port list shown for AutoPort (RS232 for none).
    int autoPortTab() const;
    // Ticking takes the port from the selected tab; clearing zeroes the port
    // and its settings.
    void SetAutoTransmit(bool on, int selectedTab);
    void SelectAutoPortTab(int tab);
    // The speed lists and their mapping are those of the communication
    // settings (SpeedItems, SpeedListPosition, SpeedFromListPosition).

    // ---- Terminal options ----------------------------------------------------
    EditVerdict SetTerminalIdValue(const QString &text);
    EditVerdict SetOperatorIdValue(const QString &text);

    // ---- Constants -----------------------------------------------------------
    int SelectedConstant = 0; // 0..9
    ConstantMode Mode = ConstantMode::AsString;
    // The longest text of a box in a mode: 1 character or 3 digits.
    static int BoxLength(ConstantMode mode) { return mode == ConstantMode::AsString ? 1 : 3; }
    // The ten box texts of constant c in a mode.
    QStringList ConstantBoxes(int c, ConstantMode mode) const;
    // The box texts converted from one mode to the other ("A" <-> "065").
    static QStringList ConvertBoxes(const QStringList &boxes, ConstantMode from, ConstantMode to);
    // Whether a box may hold this text: one single-byte character, or a
    // code 0..255 of up to three digits.
    static bool IsBoxText(const QString &text, ConstantMode mode);
    // Rebuilds constant c from the ten boxes (ignored while
    // ConstantBoxesBusy). An empty box ends the constant: the boxes after
    // it are not part of it.
    void SetConstantFromBoxes(int c, const QStringList &boxes, ConstantMode mode);

    // ---- Modem ---------------------------------------------------------------
    // The longest text of each box: phone number, reset, init, dial command,
    // time-out (digits).
    static int ModemBoxLength(int box);
    void SetModemPresent(bool on);
    EditVerdict SetModemText(int box, const QString &text);
    QString modemText(int box) const;

    // ---- Profile copy ----------------------------------------------------------
    // Functions are numbered 0..4 (listed as "Profile 1" .. "Profile 5").
    static EditVerdict CheckCopy(int from, int to);
    static QString CopyWarningTitle() { return QStringLiteral("WARNING, possible data loss!"); }
    static QString CopyWarningText(int from, int to);
    // Function `to` becomes a copy of function `from`, every member of it.
    void CopyFunction(int from, int to);

    // ---- Values the terminal receives ----------------------------------------
    // A comma would split the value in two at the terminal.
    static bool HasComma(const QString &text) { return text.contains(QLatin1Char(',')); }
    static QString CommaRefusedText();

private:
    int enabledKeyCount() const;
    EditVerdict refuseComma(const QString &text) const;

    void markClean() { m_clean = m_ws.Profile; }

    ProfileWorkspace &m_ws;
    QString m_caption = UntitledCaption();
    QString m_path;
    ProfileSet m_clean;
};

} // namespace vx
