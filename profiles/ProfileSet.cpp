#include "profiles/ProfileSet.h"

namespace vx {

const BarcodeTable &DefaultBarcodeTable()
{
    static const BarcodeTable table = {
        187, 255, 240, -1, -1,  45, 84, 128, -1, 157, 61, 5,  192, 1,
        192, 1,   192, 1,  192, 1,  96, 5,   -1, -1,  -1, -1, -1,  -1,
    };
    return table;
}

ExtFileLink::ExtFileLink()
{
    RetrieveInto.fill(QStringLiteral("0"));
    UpdateOperator.fill(1);
}

ProfileSet::ProfileSet()
{
    SetDefault();
}

void ProfileSet::SetDefault()
{
    TerminalOptions = ::vx::TerminalOptions();
    Constants.fill(ProfileConstant());
    ExtFileLayouts.fill(ExtFileLayout());
    for (int n = 0; n < int(Functions.size()); ++n) {
        ProfileFunction &f = Functions[n];
        f = ProfileFunction();
        f.Name = QStringLiteral("Function %1").arg(n + 1);
        for (int m = 0; m < int(f.Fields.size()); ++m) {
            f.Fields[m].Name = QStringLiteral("Field %1").arg(m + 1);
            f.Fields[m].Barcode = DefaultBarcodeTable();
        }
        f.Fields[0].IsKey = 1;
    }
}

bool ProfileSet::IsEightFamily() const
{
    return TerminalFamily == QLatin1String("8000") || TerminalFamily == QLatin1String("8300");
}

ProfileWorkspace &profileWorkspace()
{
    static ProfileWorkspace workspace;
    return workspace;
}

bool TerminalOptions::operator==(const TerminalOptions &o) const
{
    return Language == o.Language && OperatorIdEnabled == o.OperatorIdEnabled && OperatorIdValue == o.OperatorIdValue
           && TerminalIdEnabled == o.TerminalIdEnabled && TerminalIdValue == o.TerminalIdValue
           && BeepOnError == o.BeepOnError && BeepOnRead == o.BeepOnRead && AutoBackLight == o.AutoBackLight
           && AutoPort == o.AutoPort && AutoPortSpeed == o.AutoPortSpeed && AutoPortParity == o.AutoPortParity
           && AutoPortDataBits == o.AutoPortDataBits && AutoPortFlowControl == o.AutoPortFlowControl
           && AutoTransmit == o.AutoTransmit;
}

bool ProfileConstant::operator==(const ProfileConstant &o) const
{
    return Text == o.Text && Codes == o.Codes;
}

bool ExtFileLayout::operator==(const ExtFileLayout &o) const
{
    return KeyFrom == o.KeyFrom && KeyTo == o.KeyTo && UserFrom == o.UserFrom && UserTo == o.UserTo;
}

bool ProfileField::operator==(const ProfileField &o) const
{
    return Name == o.Name && Enabled == o.Enabled && Level == o.Level && Mask == o.Mask && MinLength == o.MinLength
           && IsKey == o.IsKey && IsSum == o.IsSum && DefaultEnabled == o.DefaultEnabled
           && DefaultAutomatic == o.DefaultAutomatic && DefaultValue == o.DefaultValue
           && InputKeyboard == o.InputKeyboard && InputReader == o.InputReader
           && InputReaderAutoCR == o.InputReaderAutoCR && Barcode == o.Barcode && Align == o.Align;
}

bool ExtFileLink::operator==(const ExtFileLink &o) const
{
    return FileNumber == o.FileNumber && KeyField == o.KeyField && QueryActive == o.QueryActive
           && QueryShowField == o.QueryShowField && RetrieveActive == o.RetrieveActive && RetrieveInto == o.RetrieveInto
           && UpdateActive == o.UpdateActive && UpdateEnabled == o.UpdateEnabled && UpdateOperator == o.UpdateOperator
           && UpdateWithField == o.UpdateWithField && UpdateValue == o.UpdateValue && QueryStop == o.QueryStop
           && RetrieveStop == o.RetrieveStop && UpdateStop == o.UpdateStop;
}

bool FunctionCommSettings::operator==(const FunctionCommSettings &o) const
{
    return Protocol == o.Protocol && Port == o.Port && Speed == o.Speed && Parity == o.Parity && DataBits == o.DataBits
           && FlowControl == o.FlowControl && TxImmediate == o.TxImmediate && CheckCable == o.CheckCable
           && RecordDelay == o.RecordDelay && FieldDelay == o.FieldDelay && RecordBlock == o.RecordBlock
           && BlockWaitCR == o.BlockWaitCR && BlockWaitTime == o.BlockWaitTime && BlockWaitMs == o.BlockWaitMs
           && BlockTerminator == o.BlockTerminator && FieldSeparator == o.FieldSeparator
           && FieldSeparatorCode == o.FieldSeparatorCode && DecimalSeparator == o.DecimalSeparator
           && DecimalSeparatorCode == o.DecimalSeparatorCode && RecordStructure == o.RecordStructure;
}

bool ModemSettings::operator==(const ModemSettings &o) const
{
    return Present == o.Present && DialNumber == o.DialNumber && ResetString == o.ResetString
           && InitString == o.InitString && DialCommand == o.DialCommand && Timeout == o.Timeout;
}

bool ProfileFunction::operator==(const ProfileFunction &o) const
{
    return Name == o.Name && Enabled == o.Enabled && SaveData == o.SaveData && Fields == o.Fields
           && DualConsecutive == o.DualConsecutive && DualNotConsecutive == o.DualNotConsecutive && ExtLink == o.ExtLink
           && Comm == o.Comm && Modem == o.Modem;
}

bool ProfileSet::operator==(const ProfileSet &o) const
{
    return TerminalFamily == o.TerminalFamily && TerminalOptions == o.TerminalOptions && Constants == o.Constants
           && ExtFileLayouts == o.ExtFileLayouts && Functions == o.Functions;
}

} // namespace vx
