// The profile file: what the writer puts in it and how the reader takes it
// back, line by line.
#include "profiles/ProfileFile.h"
#include "TestSupport.h"
#include "platform/Messenger.h"

#include <QDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace vx;

namespace {

QByteArray lineWith(const QList<QByteArray> &lines, const QByteArray &key)
{
    for (const QByteArray &line : lines) {
        if (line.startsWith(key))
            return line;
    }
    return "<missing " + key + ">";
}

// Each expected line is the first one of the lines that starts with its key
// (its text up to the first "=").
void expectLines(const QList<QByteArray> &lines, std::initializer_list<const char *> expected)
{
    for (const char *e : expected) {
        const QByteArray line(e);
        EXPECT_EQ(lineWith(lines, line.left(line.indexOf('=') + 1)), line);
    }
}

int countWith(const QList<QByteArray> &lines, const QByteArray &prefix)
{
    int n = 0;
    for (const QByteArray &line : lines)
        n += line.startsWith(prefix);
    return n;
}

// A set that differs from New in the members the tests look at.
ProfileSet touchedSet()
{
    ProfileSet s;
    s.TerminalOptions.Language = 3;
    s.Functions[1].Name = QStringLiteral("Inventory");
    s.Functions[2].Fields[4].IsKey = 1;
    s.Functions[2].Fields[6].IsSum = 1;
    s.Functions[3].Comm.RecordStructure[7] = QStringLiteral("05");
    return s;
}

} // namespace

TEST(ProfileWriter, NewProfileHasEveryLineInOrder)
{
    const ProfileSet set;
    const QList<QByteArray> lines = ProfileLines(set);
    ASSERT_EQ(lines.size(), 1936);
    EXPECT_EQ(lines.first(), "MISC.TERMTYPE=8xxx");
    EXPECT_EQ(lines[14], "MISC.COMAUTO.COMPORTSETTINGS.HANDSHAKE=0");
    EXPECT_EQ(lines[15], "CONST0=");
    EXPECT_EQ(lines[25], "EXTFILE0.KEYFIELD0.FROM=-1");
    EXPECT_EQ(lines[145], "PROFILE0.NAME=Function 1");
    EXPECT_EQ(lines.last(), "FLAG=17");
    for (int n = 0; n < 5; ++n) {
        const QByteArray p = "PROFILE" + QByteArray::number(n) + '.';
        EXPECT_EQ(countWith(lines, p), 358) << p.constData();
        for (int m = 0; m < 8; ++m)
            EXPECT_EQ(countWith(lines, p + "FIELD" + QByteArray::number(m) + ".BARCODE"), 19);
        EXPECT_EQ(lineWith(lines, p + "KEYREC0="), p + "KEYREC0=1");
        EXPECT_EQ(lineWith(lines, p + "KEYREC1="), p + "KEYREC1=0");
    }
    // Entries of -1 are left out; the two-digit indices follow the one-digit ones.
    EXPECT_EQ(countWith(lines, "PROFILE0.FIELD0.BARCODE3="), 0);
    expectLines(lines, {"PROFILE0.FIELD0.BARCODE20=96", "PROFILE0.COM.BLOCKWAIT=-13", "PROFILE0.EXTFILE.UPD.OP0=-",
                        "PROFILE4.COM.MODEM.TOUT=60000"});

    // Every line ends with CR LF, the last one too.
    const QByteArray content = ProfileFileContent(set);
    EXPECT_EQ(content.count("\r\n"), 1936);
    EXPECT_EQ(content.count('\n'), 1936);
    EXPECT_TRUE(content.endsWith("FLAG=17\r\n"));
}

TEST(ProfileWriter, EncodesConstantsAndCodes)
{
    ProfileSet set;
    set.Constants[0].Codes[0] = QStringLiteral("65");
    set.Constants[0].Codes[1] = QStringLiteral("66");
    set.Constants[0].Text = QStringLiteral("AB");
    set.Constants[9].Codes[0] = QStringLiteral("7");
    set.Constants[9].Codes[2] = QStringLiteral("1234"); // a free position is skipped
    set.Functions[0].Fields[0].DefaultEnabled = 1;
    set.Functions[0].Fields[0].DefaultAutomatic = 1;
    set.Functions[0].Fields[1].InputKeyboard = 0;
    set.Functions[0].Fields[2].Align = 2;
    set.Functions[0].Fields[3].Align = 1;
    set.Functions[0].Fields[4].Align = 9;
    set.Functions[0].Fields[5].Level = 4;
    set.Functions[0].Comm.BlockWaitCR = 0;
    set.Functions[0].Comm.BlockWaitTime = -1;
    set.Functions[0].Comm.BlockWaitMs = 250;
    set.Functions[0].Comm.BlockTerminator = 3;
    set.Functions[0].Comm.RecordStructure[0] = QStringLiteral("01 Date");
    set.Functions[0].Comm.RecordStructure[11] = QStringLiteral("26");
    set.Functions[0].ExtLink.FileNumber = 2;
    set.Functions[0].ExtLink.RetrieveInto[3] = QStringLiteral("6");
    set.Functions[0].ExtLink.UpdateOperator = {0, 1, 2, 3, 4, 7, -1, 1};
    set.Functions[1].DualConsecutive = DualSumUp;
    set.Functions[1].DualNotConsecutive = 7;
    for (int m = 0; m < 8; ++m)
        set.Functions[2].Fields[m].IsSum = 1;

    const QList<QByteArray> lines = ProfileLines(set);
    EXPECT_EQ(lines[15], "CONST0=065 066 ");
    EXPECT_EQ(lines[24], "CONST9=007 123 ");
    expectLines(lines, {"PROFILE0.FIELD0.DEFAULTE=2", "PROFILE0.FIELD1.INPUTTYPE=6", "PROFILE0.FIELD2.ALIGN=1",
                        "PROFILE0.FIELD2.TRIM=3", "PROFILE0.FIELD3.ALIGN=2", "PROFILE0.FIELD4.ALIGN=1",
                        "PROFILE0.FIELD4.TRIM=0", "PROFILE0.FIELD5.LEVEL=5", "PROFILE0.COM.BLOCKWAIT=250",
                        "PROFILE0.COM.BLOCKTERM=2", "PROFILE0.COM.RECSTRUCT0=00", "PROFILE0.COM.RECSTRUCT11=25",
                        "PROFILE0.EXTFILE.IDX=1", "PROFILE0.EXTFILE.RETR.USRFIELD3=5"});
    const char *ops[] = {"+", "-", "*", "/", "U", "+", "+", "-"};
    for (int u = 0; u < 8; ++u) {
        const QByteArray key = "PROFILE0.EXTFILE.UPD.OP" + QByteArray::number(u) + '=';
        EXPECT_EQ(lineWith(lines, key), key + ops[u]);
    }
    EXPECT_EQ(countWith(lines, "PROFILE1.DUALNC."), 0); // a rule outside 0..3 writes nothing
    // Only the first four sum fields are listed.
    expectLines(lines, {"PROFILE1.DUALC.SUM=1", "PROFILE2.SUMREC3=4", "PROFILE2.KEYREC0=1"});
}

TEST(ProfileWriter, PortTableAndLineSettings)
{
    struct Row {
        int port;
        const char *seven;
        const char *eight;
    };
    const Row rows[] = {{0, "0/0", "0/0"}, {1, "1/0", "1/0"}, {2, "1/1", "1/1"},
                        {3, "2/2", "2/2"}, {4, "2/3", "1/3"}, {5, "2/2", "1/2"}};
    for (const Row &row : rows) {
        for (const char *family : {"711", "8000", "8300"}) {
            ProfileSet set;
            set.TerminalFamily = QLatin1String(family);
            set.TerminalOptions.AutoPort = qint16(row.port);
            set.Functions[4].Comm.Port = qint16(row.port);
            const QList<QByteArray> lines = ProfileLines(set);
            const QByteArray pair = family[0] == '8' ? row.eight : row.seven;
            const QByteArray p = pair.left(1), t = pair.mid(2);
            EXPECT_EQ(lineWith(lines, "MISC.COMAUTO.COMPORT="), "MISC.COMAUTO.COMPORT=" + p);
            EXPECT_EQ(lineWith(lines, "MISC.COMAUTO.COMTYPE="), "MISC.COMAUTO.COMTYPE=" + t);
            EXPECT_EQ(lineWith(lines, "PROFILE4.COM.COMPORT="), "PROFILE4.COM.COMPORT=" + p);
            EXPECT_EQ(lineWith(lines, "PROFILE4.COM.COMTYPE="), "PROFILE4.COM.COMTYPE=" + t);
            EXPECT_EQ(lines.first(), family[0] == '8' ? "MISC.TERMTYPE=8xxx" : "MISC.TERMTYPE=7xxx");
        }
    }

    ProfileSet set;
    set.TerminalOptions.AutoPortParity = 1;
    set.TerminalOptions.AutoPortFlowControl = 2;
    set.TerminalOptions.AutoPortDataBits = 1;
    set.Functions[0].Comm.Parity = 2;
    set.Functions[0].Comm.FlowControl = 1;
    set.Functions[0].Comm.DataBits = 0;
    set.Functions[0].Comm.Protocol = 0;
    // Values outside their lists write no line for their key.
    set.Functions[1].Comm.Port = 6;
    set.Functions[1].Comm.Parity = 3;
    set.Functions[1].Comm.DataBits = 2;
    set.Functions[1].Comm.FlowControl = -1;
    const QList<QByteArray> lines = ProfileLines(set);
    expectLines(lines, {"MISC.COMAUTO.COMPORTSETTINGS.PARITY=48", "MISC.COMAUTO.COMPORTSETTINGS.HANDSHAKE=192",
                        "MISC.COMAUTO.COMPORTSETTINGS.DATABIT=8", "PROFILE0.COM.COMPORTSETTINGS.PARITY=16",
                        "PROFILE0.COM.COMPORTSETTINGS.HANDSHAKE=64", "PROFILE0.COM.COMPORTSETTINGS.DATABIT=0",
                        "PROFILE0.COM.PROTOCOL=0"});
    EXPECT_EQ(countWith(lines, "PROFILE1.COM.COMPORT="), 0);
    EXPECT_EQ(countWith(lines, "PROFILE1.COM.COMTYPE="), 0);
    EXPECT_EQ(countWith(lines, "PROFILE1.COM.COMPORTSETTINGS."), 1); // BAUD only
    EXPECT_EQ(lines.size(), 1936 - 5);
}

TEST(ProfileWriter, StringsStayOnTheirLine)
{
    ProfileSet set;
    set.Functions[0].Name = QStringLiteral("  Stock\r\nMISC.LANGUAGE=4  ");
    set.Functions[0].Fields[0].DefaultValue = QStringLiteral("\nPROFILE0.EXIST=0");
    const QList<QByteArray> lines = ProfileLines(set);
    ASSERT_EQ(lines.size(), 1936);
    EXPECT_EQ(lines[145], "PROFILE0.NAME=Stock  MISC.LANGUAGE=4");

    ProfileSet back;
    ASSERT_TRUE(ParseProfileText(ProfileFileContent(set), back).ok());
    EXPECT_EQ(back.TerminalOptions.Language, 0);
    EXPECT_EQ(back.Functions[0].Enabled, 1);
    EXPECT_EQ(back.Functions[0].Fields[0].DefaultValue, "PROFILE0.EXIST=0");
}

TEST(ProfileReader, FlagOnlyFileClearsJustKeyAndSumFlags)
{
    const ProfileSet before = touchedSet();
    ProfileSet set = before;
    const ProfileReadResult r = ParseProfileText("FLAG=17\r\n", set);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r.endsWithFlag);
    ProfileSet expected = before;
    for (ProfileFunction &f : expected.Functions)
        for (ProfileField &d : f.Fields)
            d.IsKey = d.IsSum = 0;
    EXPECT_TRUE(set == expected);
}

TEST(ProfileReader, EmptyFileShowsTheErrorAfterClearingFlags)
{
    test::TempHome home;
    const QString path = home.file("empty.VDX");
    test::writeFile(path, "");
    ProfileSet set = touchedSet();
    ScriptedMessenger messenger;
    EXPECT_FALSE(ReadProfileFile(path, set, messenger));
    ASSERT_EQ(messenger.texts(), QStringList{"ERROR, please report at Orvane Staff (num 1546)"});
    EXPECT_EQ(set.Functions[0].Fields[0].IsKey, 0);
    EXPECT_EQ(set.Functions[2].Fields[6].IsSum, 0);
    EXPECT_EQ(set.Functions[1].Name, "Inventory");

    // A missing file changes nothing and shows nothing.
    ProfileSet untouched = touchedSet();
    messenger.clear();
    EXPECT_FALSE(ReadProfileFile(home.file("missing.VDX"), untouched, messenger));
    EXPECT_TRUE(messenger.shown.empty());
    EXPECT_TRUE(untouched == touchedSet());
}

// The editor's Open reads through the same checked reading as the commands:
// what is no profile changes nothing and is named with its reason.
TEST(ProfileReader, OpenRefusesWhatIsNoProfileNamingItAndChangingNothing)
{
    test::TempHome home;
    ::mkfifo(QFile::encodeName(home.file("fifo.VDX")).constData(), 0644);
    QDir(home.path()).mkdir("folder.VDX");
    test::writeFile(home.file("hello.VDX"), "hello\n");
    const struct {
        const char *file;
        const char *says;
    } rows[] = {
        {"fifo.VDX", "fifo.VDX: is a FIFO"},
        {"folder.VDX", "folder.VDX: is a folder"},
        {"hello.VDX", "hello.VDX: no line of the form KEY=VALUE: no profile"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.file);
        ProfileSet set = touchedSet();
        ScriptedMessenger messenger;
        EXPECT_FALSE(ReadProfileFile(home.file(row.file), set, messenger));
        ASSERT_EQ(messenger.texts().size(), 1);
        EXPECT_TRUE(messenger.texts().first().endsWith(row.says)) << messenger.texts().first().toStdString();
        EXPECT_TRUE(set == touchedSet());
    }
}

TEST(ProfileReader, BadNumberStopsTheReadKeepingEarlierLines)
{
    test::TempHome home;
    const QString path = home.file("bad.VDX");
    test::writeFile(path,
                    "MISC.LANGUAGE=2\r\n"
                    "PROFILE1.NAME=Sales\r\n"
                    "PROFILE1.EXIST=x\r\n"
                    "PROFILE1.SAVEDATA=0\r\n"
                    "FLAG=17\r\n");
    ProfileSet set;
    ScriptedMessenger messenger;
    EXPECT_FALSE(ReadProfileFile(path, set, messenger));
    EXPECT_EQ(messenger.texts(), QStringList{"ERROR, please report at Orvane Staff (num 1546)"});
    EXPECT_EQ(set.TerminalOptions.Language, 2);
    EXPECT_EQ(set.Functions[1].Name, "Sales");
    EXPECT_EQ(set.Functions[1].Enabled, 1);
    EXPECT_EQ(set.Functions[1].SaveData, 1);

    const ProfileReadResult r = ReadProfile(path, set);
    EXPECT_EQ(r.status, ProfileReadResult::Status::BadValue);
    EXPECT_EQ(r.lineNumber, 3);
    EXPECT_EQ(r.line, "PROFILE1.EXIST=x");

    // The numbers that must be whole: empty, trailing text and overflow all stop.
    for (const char *line : {"PROFILE0.EXIST=", "MISC.LANGUAGE=", "MISC.BACKLIT=1a", "PROFILE0.COM.RECDELAY=7.5",
                             "PROFILE0.COM.RECBLOCK=40000", "PROFILE0.FIELD3.EXIST=", "PROFILE0.FIELD0.BARCODE7=99999",
                             "CONST3=065 300 "}) {
        ProfileSet s;
        EXPECT_EQ(ParseProfileText(QByteArray(line) + "\r\n", s).status, ProfileReadResult::Status::BadValue) << line;
    }
    // Elsewhere a number is the leading one of the text.
    ProfileSet s;
    ASSERT_TRUE(ParseProfileText("PROFILE0.COM.BAUD=2\r\n"
                                 "PROFILE0.COM.COMPORTSETTINGS.BAUD=3x\r\n"
                                 "PROFILE0.COM.TXIMMEDIATE=\r\n"
                                 "PROFILE0.FIELD0.BARCODE5= 17 apples\r\n"
                                 "PROFILE0.COM.RECDELAY= 12 \r\n",
                                 s)
                    .ok());
    EXPECT_EQ(s.Functions[0].Comm.Speed, 3);
    EXPECT_EQ(s.Functions[0].Comm.TxImmediate, 0);
    EXPECT_EQ(s.Functions[0].Fields[0].Barcode[5], 17);
    EXPECT_EQ(s.Functions[0].Comm.RecordDelay, 12);
}

TEST(ProfileReader, SkipsIndicesOutOfRangeAndUnknownLines)
{
    ProfileSet set;
    set.Functions[0].Comm.RecordStructure[3] = QStringLiteral("04");
    const ProfileSet before = set;
    const QByteArray text =
        "PROFILE5.NAME=Five\r\n"
        "PROFILE9.EXIST=x\r\n"
        "PROFILEX.NAME=X\r\n"
        "PROFILE0.COM.RECSTRUCT26=03\r\n"
        "PROFILE0.COM.RECSTRUCT99=03\r\n"
        "PROFILE0.FIELD8.DESC=Nine\r\n"
        "PROFILE0.FIELD0.BARCODE28=5\r\n"
        "EXTFILE5.KEYFIELD0.FROM=3\r\n"
        "PROFILE0.WHATEVER=1\r\n"
        "# a comment\r\n"
        "\r\n"
        "FLAG=17";
    const ProfileReadResult r = ParseProfileText(text, set);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.linesRead, 12);
    EXPECT_EQ(r.linesSkipped, 11);
    // Key flags were cleared; nothing else changed.
    ProfileSet expected = before;
    expected.Functions[0].Fields[0].IsKey = 0;
    for (int n = 1; n < 5; ++n)
        expected.Functions[n].Fields[0].IsKey = 0;
    EXPECT_TRUE(set == expected);

    // Slot 25 is the last one read; a slot not mentioned keeps its value.
    ASSERT_TRUE(ParseProfileText("PROFILE0.COM.RECSTRUCT25=07\r\nPROFILE0.COM.RECSTRUCT4=-1\r\n"
                                 "PROFILE0.COM.RECSTRUCT5=26\r\nPROFILE0.COM.RECSTRUCT12=40\r\n",
                                 set)
                    .ok());
    EXPECT_EQ(set.Functions[0].Comm.RecordStructure[25], "08");
    EXPECT_EQ(set.Functions[0].Comm.RecordStructure[3], "04");
    EXPECT_EQ(set.Functions[0].Comm.RecordStructure[4], "");
    EXPECT_EQ(set.Functions[0].Comm.RecordStructure[5], "");
    EXPECT_EQ(set.Functions[0].Comm.RecordStructure[12], "");
}

TEST(ProfileReader, DecodesEachKindOfValue)
{
    ProfileSet set;
    const QByteArray text =
        "MISC.TERMTYPE=7xxx\n"
        "MISC.OIDV= op 7 \n"
        "MISC.COMAUTO.COMPORT=2\n"
        "MISC.COMAUTO.COMTYPE=2\n"
        "MISC.COMAUTO.COMPORTSETTINGS.PARITY=48\n"
        "MISC.COMAUTO.COMPORTSETTINGS.HANDSHAKE=64\n"
        "MISC.COMAUTO.COMPORTSETTINGS.DATABIT=8\n"
        "CONST2=065 010 066 \n"
        "EXTFILE1.KEYFIELD2.FROM=-1\n"
        "EXTFILE1.USRFIELD7.TO=12\n"
        "PROFILE0.NAME=\n"
        "PROFILE0.FIELD1.DEFAULTE=1\n"
        "PROFILE0.FIELD2.DEFAULTE=2\n"
        "PROFILE0.FIELD3.INPUTTYPE=9\n"
        "PROFILE0.FIELD4.INPUTTYPE=2\n"
        "PROFILE0.FIELD5.ALIGN=2\n"
        "PROFILE0.FIELD6.ALIGN=1\n"
        "PROFILE0.FIELD6.TRIM=3\n"
        "PROFILE0.FIELD7.LEVEL=3\n"
        "PROFILE0.KEYREC2=6\n"
        "PROFILE0.SUMREC0=9\n"
        "PROFILE0.DUALNC.NONE=1\n"
        "PROFILE0.DUALNC.SUM=1\n"
        "PROFILE0.DUALC.NONE=1\n"
        "PROFILE0.DUALC.REFUSEREC=1\n"
        "PROFILE0.DUALC.SUM=0\n"
        "PROFILE0.COM.COMPORT=1\n"
        "PROFILE0.COM.COMTYPE=3\n"
        "PROFILE0.COM.PROTOCOL=0\n"
        "PROFILE0.COM.COMPORTSETTINGS.PARITY=16\n"
        "PROFILE0.COM.COMPORTSETTINGS.HANDSHAKE=192\n"
        "PROFILE0.COM.COMPORTSETTINGS.DATABIT=0\n"
        "PROFILE0.COM.RECFSEPARATOR=\n"
        "PROFILE0.COM.BLOCKWAIT=300\n"
        "PROFILE0.COM.BLOCKTERM=4\n"
        "PROFILE0.COM.MODEM.PRESENCE=1\n"
        "PROFILE0.COM.MODEM.DIALNUM=0123456789012345678901234\n"
        "PROFILE0.COM.MODEM.DIAL=ATDP\n"
        "PROFILE0.COM.MODEM.TOUT=12345678\n"
        "PROFILE0.EXTFILE.IDX=4\n"
        "PROFILE0.EXTFILE.KEY1=7\n"
        "PROFILE0.EXTFILE.RETR.USRFIELD2=3\n"
        "PROFILE0.EXTFILE.UPD.UPDFIELD5=-1\n"
        "PROFILE0.EXTFILE.UPD.OP1=U\n"
        "PROFILE0.EXTFILE.UPD.OP2=?\n"
        "PROFILE0.EXTFILE.UPD.ACTIVE=1\n"
        "PROFILE0.EXTFILE.UPD.ACTIVEFIELD3=1\n"
        "PROFILE0.EXTFILE.QUERY.STOP=1\n"
        "PROFILE0.EXTFILE.UPD.VAL4=a,b\n";
    ASSERT_TRUE(ParseProfileText(text, set).ok());
    const TerminalOptions &o = set.TerminalOptions;
    EXPECT_EQ(set.TerminalFamily, "711");
    EXPECT_EQ(o.OperatorIdValue, " op 7 ");
    EXPECT_EQ(o.AutoPort, 5); // 2/2 on a 7xx terminal is IR
    EXPECT_EQ(o.AutoTransmit, 1);
    EXPECT_EQ(o.AutoPortParity, 1); // 48 is Even, as written
    EXPECT_EQ(o.AutoPortFlowControl, 1);
    EXPECT_EQ(o.AutoPortDataBits, 1);
    EXPECT_EQ(set.Constants[2].Text, QStringLiteral("A\nB"));
    EXPECT_EQ(set.Constants[2].Codes[1], "10");
    EXPECT_EQ(set.Constants[2].Codes[3], "");
    EXPECT_EQ(set.ExtFileLayouts[1].KeyFrom[2], "");
    EXPECT_EQ(set.ExtFileLayouts[1].UserTo[7], "12");

    const ProfileFunction &f = set.Functions[0];
    EXPECT_EQ(f.Name, "N/A");
    EXPECT_EQ(f.Fields[1].DefaultEnabled, 1);
    EXPECT_EQ(f.Fields[1].DefaultAutomatic, 0);
    EXPECT_EQ(f.Fields[2].DefaultAutomatic, 1);
    EXPECT_EQ(f.Fields[3].InputKeyboard + f.Fields[3].InputReader + f.Fields[3].InputReaderAutoCR, 3);
    EXPECT_EQ(f.Fields[4].InputKeyboard, 0);
    EXPECT_EQ(f.Fields[4].InputReader, 1);
    EXPECT_EQ(f.Fields[4].InputReaderAutoCR, 0);
    EXPECT_EQ(f.Fields[5].Align, 1);
    EXPECT_EQ(f.Fields[6].Align, 2);
    EXPECT_EQ(f.Fields[7].Level, 2);
    EXPECT_EQ(f.Fields[5].IsKey, 1);
    EXPECT_EQ(f.Fields[0].IsKey, 0);
    EXPECT_EQ(f.DualNotConsecutive, DualSumUp);
    EXPECT_EQ(f.DualConsecutive, DualRejectOnRecord);
    EXPECT_EQ(f.Comm.Port, 4);
    EXPECT_EQ(f.Comm.Protocol, 0);
    EXPECT_EQ(f.Comm.Parity, 2); // 16 is Odd, as written
    EXPECT_EQ(f.Comm.FlowControl, 2);
    EXPECT_EQ(f.Comm.DataBits, 0);
    EXPECT_EQ(f.Comm.FieldSeparatorCode, 0);
    EXPECT_EQ(f.Comm.FieldSeparator, ",");
    EXPECT_EQ(f.Comm.BlockWaitCR, 0);
    EXPECT_EQ(f.Comm.BlockWaitTime, -1);
    EXPECT_EQ(f.Comm.BlockWaitMs, 300);
    EXPECT_EQ(f.Comm.BlockTerminator, 5);
    EXPECT_EQ(f.Modem.Present, 1);
    EXPECT_EQ(f.Modem.DialNumber, "01234567890123456789");
    EXPECT_EQ(f.Modem.DialCommand, "ATDP");
    EXPECT_EQ(f.Modem.Timeout, 123456);
    EXPECT_EQ(f.ExtLink.FileNumber, 5);
    EXPECT_EQ(f.ExtLink.KeyField[1], 8);
    EXPECT_EQ(f.ExtLink.RetrieveInto[2], "4");
    EXPECT_EQ(f.ExtLink.UpdateWithField[5], 0);
    EXPECT_EQ(f.ExtLink.UpdateOperator[1], 4);
    EXPECT_EQ(f.ExtLink.UpdateOperator[2], 1);
    EXPECT_EQ(f.ExtLink.UpdateActive, 1);
    EXPECT_EQ(f.ExtLink.UpdateEnabled[3], 1);
    EXPECT_EQ(f.ExtLink.QueryStop, 1);
    EXPECT_EQ(f.ExtLink.UpdateValue[4], "a,b");
}

TEST(ProfileReader, PortPairsReadBackAsWritten)
{
    for (const char *family : {"711", "8000"}) {
        const bool eight = family[0] == '8';
        for (int port = 0; port <= 5; ++port) {
            const auto pair = EncodePort(port, eight);
            ASSERT_TRUE(pair);
            const int back = DecodePort(pair->ComPort, pair->ComType, eight);
            EXPECT_EQ(back, !eight && port == 3 ? 5 : port) << family << " port " << port;
        }
    }
    for (int parity = 0; parity <= 2; ++parity)
        EXPECT_EQ(DecodeParity(*EncodeParity(parity)), parity);
    for (int flow = 0; flow <= 2; ++flow)
        EXPECT_EQ(DecodeFlowControl(*EncodeFlowControl(flow)), flow);
    EXPECT_FALSE(DecodeParity(32));

    // COMTYPE without COMPORT uses the pair of the port already set;
    // COMPORT 0 is "off" whatever follows.
    ProfileSet set;
    ASSERT_TRUE(ParseProfileText("PROFILE1.COM.COMTYPE=1\nPROFILE2.COM.COMPORT=0\nPROFILE2.COM.COMTYPE=3\n"
                                 "MISC.COMAUTO.COMTYPE=3\n",
                                 set)
                    .ok());
    EXPECT_EQ(set.Functions[1].Comm.Port, 2);
    EXPECT_EQ(set.Functions[2].Comm.Port, 0);
    EXPECT_EQ(set.TerminalOptions.AutoPort, 0);
    EXPECT_EQ(set.TerminalOptions.AutoTransmit, 0);
}
