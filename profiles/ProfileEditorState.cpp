#include "profiles/ProfileEditorState.h"

#include "platform/Messenger.h"
#include "profiles/ProfileFile.h"

#include <QFileInfo>

namespace vx {

namespace {

const int kMaxKeys = 4;
const int kMaxSums = 4;
const int kWideNameLimit = 20;
const int kNarrowNameLimit = 16;
const int kLayoutDigits = 5;
const int kMinLengthDigits = 3;

bool isDigits(const QString &text)
{
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

QString *layoutSlot(ExtFileLayout &layout, int kind, int index)
{
    const bool key = kind == 0 || kind == 1;
    if (index < 0 || index >= (key ? 4 : 8))
        return nullptr;
    switch (kind) {
    case 0:
        return &layout.KeyFrom[size_t(index)];
    case 1:
        return &layout.KeyTo[size_t(index)];
    case 2:
        return &layout.UserFrom[size_t(index)];
    case 3:
        return &layout.UserTo[size_t(index)];
    default:
        return nullptr;
    }
}

} // namespace

ProfileEditorState::ProfileEditorState(ProfileWorkspace &workspace) : m_ws(workspace) {}

QString ProfileEditorState::CommaRefusedText()
{
    return QStringLiteral(
        "A comma cannot be used in a profile value: the terminal would read it as the end "
        "of the value.");
}

EditVerdict ProfileEditorState::refuseComma(const QString &text) const
{
    return HasComma(text) ? EditVerdict::refused(CommaRefusedText()) : EditVerdict::ok();
}

// ---- Commands ---------------------------------------------------------------

void ProfileEditorState::New()
{
    m_ws.Profile.SetDefault();
    m_ws.CurrentFunction = 0;
    m_ws.CurrentBarcodeField = 0;
    m_caption = UntitledCaption();
    m_path.clear();
    for (auto &notes : UserFieldNotes)
        notes.fill(QString());
    markClean();
}

void ProfileEditorState::NewAt(const QString &path)
{
    New();
    m_path = path;
    m_caption = QStringLiteral("Profile : ") + path + QLatin1Char('*');
}

bool ProfileEditorState::Open(const QString &path, Messenger &messenger)
{
    New();
    const bool ok = ReadProfileFile(path, m_ws.Profile, messenger);
    m_ws.CurrentFunction = 0;
    if (ok) {
        m_caption = QStringLiteral("Profile : ") + path;
        m_path = path;
    }
    markClean();
    return ok;
}

void ProfileEditorState::SavedAs(const QString &path)
{
    m_caption = QStringLiteral("Profile :") + path;
}

ProfileEditorState::SaveAsOutcome ProfileEditorState::SaveAs(Messenger &messenger)
{
    QString path = messenger.saveFileName(QStringLiteral("Save As..."), ProfileFileFilter());
    if (path.trimmed().isEmpty())
        return SaveAsOutcome::Cancelled;
    // A bare name gets the extension the filter promises.
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".VDX");
    if (!SaveProfileFile(m_ws.Profile, path, messenger))
        return SaveAsOutcome::Failed;
    if (path.endsWith(QLatin1String(".c")))
        return SaveAsOutcome::SavedSource;
    SavedAs(path);
    m_path = path;
    markClean();
    if (messenger.message(QStringLiteral("Do you want to download the profile?"), MsgIcon::Question, MsgButtons::YesNo,
                          CloseTitle())
        != MsgAnswer::Yes)
        return SaveAsOutcome::Saved;
    m_ws.ProfileFileName = path;
    return SaveAsOutcome::SavedToSend;
}

ProfileEditorState::SaveAsOutcome ProfileEditorState::Save(Messenger &messenger)
{
    if (m_path.isEmpty())
        return SaveAs(messenger);
    if (!SaveProfileFile(m_ws.Profile, m_path, messenger))
        return SaveAsOutcome::Failed;
    SavedAs(m_path);
    markClean();
    return SaveAsOutcome::Saved;
}

void ProfileEditorState::SelectFunction(int function)
{
    if (function >= 0 && function < int(m_ws.Profile.Functions.size()))
        m_ws.CurrentFunction = qint16(function);
}

// ---- Terminal family ----------------------------------------------------------

void ProfileEditorState::SetTerminalFamily(const QString &family)
{
    m_ws.Profile.TerminalFamily = family;
}

void ProfileEditorState::ChooseTerminalFamily(const QString &family)
{
    SetTerminalFamily(family);
    if (family != QLatin1String("8000"))
        return;
    for (ProfileField &f : function().Fields) {
        if (f.Name.size() > kNarrowNameLimit)
            f.Name.truncate(kNarrowNameLimit);
    }
}

int ProfileEditorState::fieldNameLimit() const
{
    return m_ws.Profile.TerminalFamily == QLatin1String("8000") ? kNarrowNameLimit : kWideNameLimit;
}

// ---- Field rules ----------------------------------------------------------------

int ProfileEditorState::enabledKeyCount() const
{
    int count = 0;
    for (const ProfileField &f : function().Fields)
        count += (f.IsKey && f.Enabled) ? 1 : 0;
    return count;
}

EditVerdict ProfileEditorState::SetFieldEnabled(int i, bool on)
{
    ProfileField &f = field(i);
    if (!on) {
        int others = 0;
        for (int m = 0; m < 8; ++m)
            others += (m != i && field(m).Enabled) ? 1 : 0;
        if (others == 0)
            return EditVerdict::refused(QStringLiteral("At least one field has to be enabled"));
        if (f.IsKey && f.Enabled && enabledKeyCount() == 1)
            return EditVerdict::refused(
                QStringLiteral("This is the only Key defined.\nAt least one Key as to be defined."));
    } else if (!f.Enabled && f.IsKey && enabledKeyCount() >= kMaxKeys) {
        // A fifth enabled key would be left out of the file without a word.
        return EditVerdict::refused(QStringLiteral("No more room for key field (Max=4)"));
    } else if (!f.InputKeyboard && !f.InputReader) {
        f.InputKeyboard = 1;
        f.InputReader = 1;
        f.InputReaderAutoCR = 1;
    }
    f.Enabled = on ? 1 : 0;
    return EditVerdict::ok();
}

EditVerdict ProfileEditorState::SetKey(int i, bool on)
{
    if (LoadingControls)
        return EditVerdict::ok();
    ProfileField &f = field(i);
    int count = 0;
    for (int m = 0; m < 8; ++m) {
        const bool key = m == i ? on : field(m).IsKey != 0;
        count += (key && field(m).Enabled) ? 1 : 0;
    }
    if (on && count > kMaxKeys)
        return EditVerdict::refused(QStringLiteral("No more room for key field (Max=4)"));
    if (!on && count == 0)
        return EditVerdict::refused(QStringLiteral("At least one field has to be defined KEY"));
    f.IsKey = on ? 1 : 0;
    return EditVerdict::ok();
}

EditVerdict ProfileEditorState::SetSum(int i, bool on)
{
    int count = 0;
    for (int m = 0; m < 8; ++m)
        count += (m == i ? on : field(m).IsSum != 0) ? 1 : 0;
    if (on && count > kMaxSums)
        return EditVerdict::refused(QStringLiteral("No more room for Sum field (Max=4)"));
    field(i).IsSum = on ? 1 : 0;
    return EditVerdict::ok();
}

static QString noInputText()
{
    return QStringLiteral("On Enabled Field at least one input tipe (keyboard or reader)\nhas to be available");
}

EditVerdict ProfileEditorState::SetInputKeyboard(int i, bool on)
{
    ProfileField &f = field(i);
    if (!on && f.Enabled && !f.InputReader)
        return EditVerdict::refused(noInputText());
    f.InputKeyboard = on ? 1 : 0;
    return EditVerdict::ok();
}

EditVerdict ProfileEditorState::SetInputReader(int i, bool on)
{
    ProfileField &f = field(i);
    if (!on && f.Enabled && !f.InputKeyboard)
        return EditVerdict::refused(noInputText());
    f.InputReader = on ? 1 : 0;
    if (!on)
        f.InputReaderAutoCR = 0;
    return EditVerdict::ok();
}

EditVerdict ProfileEditorState::SetInputAutoCR(int i, bool on)
{
    ProfileField &f = field(i);
    f.InputReaderAutoCR = on ? 1 : 0;
    if (on)
        f.InputReader = 1;
    return EditVerdict::ok();
}

void ProfileEditorState::SetDefaultEnabled(int i, bool on)
{
    field(i).DefaultEnabled = on ? 1 : 0;
}

void ProfileEditorState::SetDefaultAutomatic(int i, bool on)
{
    field(i).DefaultAutomatic = on ? 1 : 0;
}

EditVerdict ProfileEditorState::SetDefaultValue(int i, const QString &text)
{
    const EditVerdict comma = refuseComma(text);
    if (!comma.accepted)
        return comma;
    ProfileField &f = field(i);
    if (text.size() > f.Mask.size())
        return EditVerdict::refused(QString()); // longer than the field: the key does nothing
    f.DefaultValue = text;
    return EditVerdict::ok();
}

bool ProfileEditorState::IsMaskText(const QString &text)
{
    for (QChar c : text) {
        if (c != QLatin1Char('9') && c != QLatin1Char('.') && c != QLatin1Char('*'))
            return false;
    }
    return true;
}

EditVerdict ProfileEditorState::SetMask(int i, const QString &text)
{
    if (!IsMaskText(text))
        return EditVerdict::refused(QString());
    ProfileField &f = field(i);
    f.Mask = text.trimmed();
    if (f.DefaultValue.size() > f.Mask.size())
        f.DefaultValue.truncate(f.Mask.size());
    return EditVerdict::ok();
}

QString ProfileEditorState::MaskCountLabel(const QString &maskText)
{
    return QStringLiteral("(%1)").arg(maskText.size());
}

EditVerdict ProfileEditorState::MaskFocusLost(int i)
{
    ProfileField &f = field(i);
    if (!f.Mask.trimmed().isEmpty())
        return EditVerdict::ok();
    f.Mask = QStringLiteral("**********");
    return EditVerdict::repaired(QStringLiteral("Null masks not allowed"));
}

EditVerdict ProfileEditorState::SetFieldName(int i, const QString &text)
{
    const EditVerdict comma = refuseComma(text);
    if (!comma.accepted)
        return comma;
    ProfileField &f = field(i);
    if (text.size() > fieldNameLimit() && text.size() > f.Name.size())
        return EditVerdict::refused(QString()); // the box is full: the key does nothing
    f.Name = text;
    return EditVerdict::ok();
}

EditVerdict ProfileEditorState::FieldNameFocusLost(int i)
{
    ProfileField &f = field(i);
    if (!f.Name.trimmed().isEmpty())
        return EditVerdict::ok();
    f.Name = QStringLiteral("Field Name %1").arg(i);
    return EditVerdict::repaired(QStringLiteral("Null name field not allowed"));
}

EditVerdict ProfileEditorState::SetFunctionName(const QString &text)
{
    const EditVerdict comma = refuseComma(text);
    if (!comma.accepted)
        return comma;
    function().Name = text.trimmed();
    return EditVerdict::ok();
}

EditVerdict ProfileEditorState::FunctionNameFocusLost()
{
    ProfileFunction &f = function();
    if (!f.Name.trimmed().isEmpty())
        return EditVerdict::ok();
    f.Name = QStringLiteral("Function %1").arg(m_ws.CurrentFunction + 1);
    return EditVerdict::repaired(QStringLiteral("Null Function name not allowed"));
}

void ProfileEditorState::SetLevel(int i, int level)
{
    field(i).Level = qint16(level);
}

void ProfileEditorState::SetAlign(int i, int align)
{
    field(i).Align = qint16(align);
}

EditVerdict ProfileEditorState::SetMinLength(int i, const QString &text)
{
    if (!isDigits(text) || text.size() > kMinLengthDigits)
        return EditVerdict::refused(QString());
    field(i).MinLength = text;
    return EditVerdict::ok();
}

void ProfileEditorState::SetFunctionEnabled(bool on)
{
    function().Enabled = on ? 1 : 0;
}

void ProfileEditorState::SetFunctionSaveData(bool on)
{
    function().SaveData = on ? 1 : 0;
}

// ---- Dual Manage ----------------------------------------------------------------

void ProfileEditorState::SetDualConsecutive(int rule)
{
    if (consecutiveLocked())
        return; // locked on "Sum Up"
    function().DualConsecutive = qint16(rule);
}

void ProfileEditorState::SetDualNotConsecutive(int rule)
{
    ProfileFunction &f = function();
    f.DualNotConsecutive = qint16(rule);
    if (rule == DualSumUp)
        f.DualConsecutive = DualSumUp;
}

QString ProfileEditorState::dualWarning() const
{
    return consecutiveLocked()
               ? QStringLiteral("WARNING. Sum On NOT Consecutive record imply sum On Consecutive record")
               : QString();
}

// ---- Look-up link -------------------------------------------------------------------

void ProfileEditorState::SetExtFileNumber(int fileNumber)
{
    function().ExtLink.FileNumber = qint16(fileNumber);
}

void ProfileEditorState::SetExtMode(ExtMode mode, bool on)
{
    ExtFileLink &l = function().ExtLink;
    const qint16 v = on ? 1 : 0;
    switch (mode) {
    case ExtMode::Query:
        l.QueryActive = v;
        break;
    case ExtMode::Retrieve:
        l.RetrieveActive = v;
        break;
    case ExtMode::Update:
        l.UpdateActive = v;
        break;
    }
}

void ProfileEditorState::SetExtStop(ExtMode mode, bool on)
{
    ExtFileLink &l = function().ExtLink;
    const qint16 v = on ? 1 : 0;
    switch (mode) {
    case ExtMode::Query:
        l.QueryStop = v;
        break;
    case ExtMode::Retrieve:
        l.RetrieveStop = v;
        break;
    case ExtMode::Update:
        l.UpdateStop = v;
        break;
    }
}

bool ProfileEditorState::extModeActive(ExtMode mode) const
{
    const ExtFileLink &l = function().ExtLink;
    switch (mode) {
    case ExtMode::Query:
        return l.QueryActive != 0;
    case ExtMode::Retrieve:
        return l.RetrieveActive != 0;
    case ExtMode::Update:
        return l.UpdateActive != 0;
    }
    return false;
}

bool ProfileEditorState::extStop(ExtMode mode) const
{
    const ExtFileLink &l = function().ExtLink;
    switch (mode) {
    case ExtMode::Query:
        return l.QueryStop != 0;
    case ExtMode::Retrieve:
        return l.RetrieveStop != 0;
    case ExtMode::Update:
        return l.UpdateStop != 0;
    }
    return false;
}

// ---- Look-up file layouts -------------------------------------------------------------

EditVerdict ProfileEditorState::SetLayoutPosition(int kind, int index, const QString &text)
{
    QString *slot = layoutSlot(m_ws.Profile.ExtFileLayouts[size_t(SelectedExtFile)], kind, index);
    if (!slot || !isDigits(text) || text.size() > kLayoutDigits)
        return EditVerdict::refused(QString());
    *slot = text;
    return EditVerdict::ok();
}

QString ProfileEditorState::layoutPosition(int kind, int index) const
{
    ExtFileLayout copy = m_ws.Profile.ExtFileLayouts[size_t(SelectedExtFile)];
    const QString *slot = layoutSlot(copy, kind, index);
    return slot ? *slot : QString();
}

// ---- Automatic transmission ---------------------------------------------------------------

int ProfileEditorState::autoPortTab() const
{
    const int port = m_ws.Profile.TerminalOptions.AutoPort;
    return port >= 1 && port <= 5 ? port - 1 : 0;
}

void ProfileEditorState::SetAutoTransmit(bool on, int selectedTab)
{
    TerminalOptions &o = m_ws.Profile.TerminalOptions;
    if (on) {
        o.AutoTransmit = 1;
        SelectAutoPortTab(selectedTab);
        return;
    }
    o.AutoTransmit = 0;
    o.AutoPort = 0;
    o.AutoPortSpeed = 0;
    o.AutoPortParity = 0;
    o.AutoPortDataBits = 0;
    o.AutoPortFlowControl = 0;
}

void ProfileEditorState::SelectAutoPortTab(int tab)
{
    TerminalOptions &o = m_ws.Profile.TerminalOptions;
    if (o.AutoTransmit && tab != KeyboardTab && tab >= 0 && tab <= 4)
        o.AutoPort = qint16(tab + 1);
}

// ---- Terminal options -----------------------------------------------------------------------

EditVerdict ProfileEditorState::SetTerminalIdValue(const QString &text)
{
    const EditVerdict comma = refuseComma(text);
    if (comma.accepted)
        m_ws.Profile.TerminalOptions.TerminalIdValue = text;
    return comma;
}

EditVerdict ProfileEditorState::SetOperatorIdValue(const QString &text)
{
    const EditVerdict comma = refuseComma(text);
    if (comma.accepted)
        m_ws.Profile.TerminalOptions.OperatorIdValue = text;
    return comma;
}

// ---- Constants ------------------------------------------------------------------------------

QStringList ProfileEditorState::ConstantBoxes(int c, ConstantMode mode) const
{
    const ProfileConstant &constant = m_ws.Profile.Constants[size_t(c)];
    QStringList boxes;
    for (const QString &code : constant.Codes) {
        bool ok = false;
        const int value = code.toInt(&ok);
        if (code.isEmpty() || !ok || value < 0 || value > 255)
            boxes << QString();
        else if (mode == ConstantMode::AsString)
            boxes << QString(QChar(char16_t(value)));
        else
            boxes << QStringLiteral("%1").arg(value, 3, 10, QLatin1Char('0'));
    }
    return boxes;
}

QStringList ProfileEditorState::ConvertBoxes(const QStringList &boxes, ConstantMode from, ConstantMode to)
{
    if (from == to)
        return boxes;
    QStringList out;
    for (const QString &box : boxes) {
        if (!IsBoxText(box, from) || box.isEmpty()) {
            out << QString();
        } else if (to == ConstantMode::AsAsciiCode) {
            out << QStringLiteral("%1").arg(int(box.at(0).unicode()), 3, 10, QLatin1Char('0'));
        } else {
            out << QString(QChar(char16_t(box.toInt())));
        }
    }
    return out;
}

bool ProfileEditorState::IsBoxText(const QString &text, ConstantMode mode)
{
    if (text.isEmpty())
        return true;
    if (mode == ConstantMode::AsString)
        return text.size() == 1 && text.at(0).unicode() <= 255;
    return text.size() <= 3 && isDigits(text) && text.toInt() <= 255;
}

void ProfileEditorState::SetConstantFromBoxes(int c, const QStringList &boxes, ConstantMode mode)
{
    if (ConstantBoxesBusy || c < 0 || c > 9)
        return;
    ProfileConstant constant;
    for (int k = 0; k < 10 && k < boxes.size(); ++k) {
        const QString &box = boxes.at(k);
        if (box.isEmpty() || !IsBoxText(box, mode))
            break; // an empty box ends the constant
        const int code = mode == ConstantMode::AsString ? int(box.at(0).unicode()) : box.toInt();
        constant.Codes[size_t(k)] = QString::number(code);
        constant.Text += QChar(char16_t(code));
    }
    m_ws.Profile.Constants[size_t(c)] = constant;
}

// ---- Profile copy ---------------------------------------------------------------------------

EditVerdict ProfileEditorState::CheckCopy(int from, int to)
{
    if (from == to)
        return EditVerdict::refused(QStringLiteral("Source profile and destination profile cannot be the same."));
    return EditVerdict::ok();
}

QString ProfileEditorState::CopyWarningText(int from, int to)
{
    return QStringLiteral(
               "Are you sure to overwrite the profile number : %1\nWith profile number :  %2\n\n"
               "This is a NOT UNDO operation.")
        .arg(to + 1)
        .arg(from + 1);
}

void ProfileEditorState::CopyFunction(int from, int to)
{
    if (from < 0 || from > 4 || to < 0 || to > 4 || from == to)
        return;
    m_ws.Profile.Functions[size_t(to)] = m_ws.Profile.Functions[size_t(from)];
}

// ---- Modem ----------------------------------------------------------------------------------

int ProfileEditorState::ModemBoxLength(int box)
{
    static const int lengths[5] = {20, 10, 60, 10, 6};
    return box >= 0 && box < 5 ? lengths[box] : 0;
}

void ProfileEditorState::SetModemPresent(bool on)
{
    function().Modem.Present = on ? 1 : 0;
}

EditVerdict ProfileEditorState::SetModemText(int box, const QString &text)
{
    ModemSettings &m = function().Modem;
    if (box == 4) {
        if (!isDigits(text) || text.size() > ModemBoxLength(4))
            return EditVerdict::refused(QString());
        m.Timeout = text.toInt();
        return EditVerdict::ok();
    }
    const EditVerdict comma = refuseComma(text);
    if (!comma.accepted)
        return comma;
    const QString cut = text.left(ModemBoxLength(box));
    switch (box) {
    case 0:
        m.DialNumber = cut;
        break;
    case 1:
        m.ResetString = cut;
        break;
    case 2:
        m.InitString = cut;
        break;
    case 3:
        m.DialCommand = cut;
        break;
    default:
        return EditVerdict::refused(QString());
    }
    return EditVerdict::ok();
}

QString ProfileEditorState::modemText(int box) const
{
    const ModemSettings &m = function().Modem;
    switch (box) {
    case 0:
        return m.DialNumber;
    case 1:
        return m.ResetString;
    case 2:
        return m.InitString;
    case 3:
        return m.DialCommand;
    case 4:
        return QString::number(m.Timeout);
    default:
        return QString();
    }
}

} // namespace vx
