// The editor's rules without its window: what the window cannot show in a
// click (loading, conversions, the copy, a failed open).
#include "profiles/ProfileEditorState.h"
#include "TestSupport.h"
#include "platform/Messenger.h"
#include "profiles/ProfileFile.h"

#include <gtest/gtest.h>

using namespace vx;

TEST(ProfileEditorState, KeyClicksAreIgnoredWhileLoading)
{
    ProfileWorkspace ws;
    ProfileEditorState state(ws);
    state.LoadingControls = true;
    EXPECT_TRUE(state.SetKey(0, false).accepted);
    EXPECT_EQ(ws.Profile.Functions[0].Fields[0].IsKey, 1);
    EXPECT_TRUE(state.SetKey(3, true).accepted);
    EXPECT_EQ(ws.Profile.Functions[0].Fields[3].IsKey, 0);
}

TEST(ProfileEditorState, ConstantBoxTextsByMode)
{
    const struct {
        QString text;
        bool asString;
        bool asCode;
    } cases[] = {
        {"", true, true},
        {"A", true, false},
        {"AB", false, false},
        {"0", true, true},
        {"255", false, true},
        {"256", false, false},
        {"0655", false, false},
        {"6a", false, false},
        {QString(QChar(0xE9)), true, false},
        {QString(QChar(0x20AC)), false, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ProfileEditorState::IsBoxText(c.text, ConstantMode::AsString), c.asString) << c.text.toStdString();
        EXPECT_EQ(ProfileEditorState::IsBoxText(c.text, ConstantMode::AsAsciiCode), c.asCode) << c.text.toStdString();
    }
    const QStringList chars = {"A", "", "\t", QString(QChar(0xFF))};
    const QStringList codes = {"065", "", "009", "255"};
    EXPECT_EQ(ProfileEditorState::ConvertBoxes(chars, ConstantMode::AsString, ConstantMode::AsAsciiCode), codes);
    EXPECT_EQ(ProfileEditorState::ConvertBoxes(codes, ConstantMode::AsAsciiCode, ConstantMode::AsString), chars);
}

TEST(ProfileEditorState, ConstantsAreBusyProofAndStopAtTheFirstEmptyBox)
{
    ProfileWorkspace ws;
    ProfileEditorState state(ws);
    QStringList boxes = {"A", "B", "", "D", "", "", "", "", "", ""};
    state.ConstantBoxesBusy = true;
    state.SetConstantFromBoxes(2, boxes, ConstantMode::AsString);
    EXPECT_EQ(ws.Profile.Constants[2], ProfileConstant());
    state.ConstantBoxesBusy = false;
    state.SetConstantFromBoxes(2, boxes, ConstantMode::AsString);
    EXPECT_EQ(ws.Profile.Constants[2].Text, "AB");
    EXPECT_EQ(ws.Profile.Constants[2].Codes[0], "65");
    EXPECT_EQ(ws.Profile.Constants[2].Codes[1], "66");
    EXPECT_EQ(ws.Profile.Constants[2].Codes[3], "");
}

TEST(ProfileEditorState, CopyTakesTheWholeFunctionAndSharesNothing)
{
    ProfileWorkspace ws;
    ProfileEditorState state(ws);
    ProfileFunction &source = ws.Profile.Functions[1];
    source.Name = QStringLiteral("Picking");
    source.Fields[7].Barcode[3] = 12;
    source.ExtLink.RetrieveInto[2] = QStringLiteral("4");
    source.Comm.RecordStructure[30] = QStringLiteral("26");
    source.Modem.InitString = QStringLiteral("ATZ");
    EXPECT_FALSE(ProfileEditorState::CheckCopy(1, 1).accepted);
    state.CopyFunction(1, 4);
    EXPECT_EQ(ws.Profile.Functions[4], source);
    source.Fields[7].Name = QStringLiteral("Changed later");
    EXPECT_EQ(ws.Profile.Functions[4].Fields[7].Name, "Field 8");
}

TEST(ProfileEditorState, AFailedOpenLeavesTheCaptionUntitled)
{
    test::TempHome home;
    ProfileWorkspace ws;
    ProfileEditorState state(ws);
    ScriptedMessenger messenger;
    const QString bad = home.file("Bad.VDX");
    test::writeFile(bad, "MISC.LANGUAGE=2\r\nPROFILE0.EXIST=x\r\nFLAG=17\r\n");
    EXPECT_FALSE(state.Open(bad, messenger));
    EXPECT_EQ(state.caption(), "Profile : Untitled*");
    EXPECT_EQ(messenger.texts(), QStringList({ProfileReadErrorText()}));
    EXPECT_TRUE(state.closeNeedsConfirmation());

    const QString good = home.file("Good.VDX");
    test::writeFile(good, "MISC.TERMTYPE=8xxx\r\nPROFILE2.FIELD1.DESC=ABCDEFGHIJKLMNOPQRST\r\nFLAG=17\r\n");
    ws.CurrentFunction = 3;
    EXPECT_TRUE(state.Open(good, messenger));
    EXPECT_EQ(state.caption(), "Profile : " + good);
    EXPECT_EQ(ws.CurrentFunction, 0);
    EXPECT_EQ(ws.Profile.Functions[2].Fields[1].Name, "ABCDEFGHIJKLMNOPQRST"); // read whole, never cut
    EXPECT_FALSE(state.closeNeedsConfirmation());
}
