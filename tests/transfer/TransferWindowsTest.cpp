// The two transfer windows on the offscreen platform: controls, defaults,
// and one exchange each through a fake port, then the import that follows.
#include "FakeIrDevice.h"
#include "FakeTransports.h"
#include "SettingsTerminal.h"
#include "TestSupport.h"
#include "WidgetDriver.h"
#include "platform/Messenger.h"
#include "profiles/ProfileSet.h"
#include "transfer/SettingsImport.h"
#include "transfer/TransferMessages.h"
#include "ui/transfer/frmSettingsReceive.h"
#include "ui/transfer/frmSettingsSend.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

using namespace vx;

namespace {

using test::ui::items;

// A picture of the window, kept when VENDRIX_SCREENSHOT_DIR names a folder.
void grabWindow(QWidget *w, const QString &name)
{
    w->show();
    const QPixmap shot = w->grab();
    EXPECT_FALSE(shot.isNull());
    const QString dir = qEnvironmentVariable("VENDRIX_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        shot.save(QDir(dir).filePath(name + QStringLiteral(".png")));
}

} // namespace

TEST(TransferWindows, ControlsAndDefaults)
{
    test::TempHome home;
    test::FakeSerialPort port;
    test::FakeIrDevice ir;
    ScriptedMessenger messenger;
    frmSettingsSend send(home.file("P.VDX"), nullptr, &port, &ir, &messenger);
    frmSettingsReceive receive(nullptr, &port, &ir, &messenger);

    EXPECT_EQ(send.windowTitle(), "SENDING Settings");
    EXPECT_EQ(receive.windowTitle(), "RECEIVING Settings");
    EXPECT_EQ(send.Label3->text(), "Set the terminal in receiving mode and then press START");
    EXPECT_EQ(receive.Label3->text(), "Press START and set the terminal in TX mode");
    EXPECT_EQ(send.cmbSpeed->currentText(), "38400");
    EXPECT_EQ(receive.cmbSpeed->currentText(), "57600");
    EXPECT_EQ(send.findChild<QPushButton *>("cmdCancel"), send.cmdCancel);
    EXPECT_EQ(receive.findChild<QPushButton *>("Command1"), receive.Command1);
    QTimer *timer1 = send.findChild<QTimer *>("Timer1");
    ASSERT_NE(timer1, nullptr);
    EXPECT_FALSE(timer1->isActive());
    EXPECT_EQ(receive.findChild<QTimer *>("Timer1"), nullptr); // no answer timer there

    for (QDialog *w : {static_cast<QDialog *>(&send), static_cast<QDialog *>(&receive)}) {
        auto *commType = w->findChild<QCheckBox *>("CommType");
        ASSERT_NE(commType, nullptr);
        EXPECT_EQ(commType->text(), "IR CRADLE");
        EXPECT_FALSE(commType->isChecked());
        auto *ports = w->findChild<QComboBox *>("cmbCommPort");
        EXPECT_EQ(items(ports), QStringList({"Com1", "Com2", "Com3", "Com4", "Com5", "Com6", "Com7", "Com8"}));
        EXPECT_EQ(ports->currentText(), "Com1");
        EXPECT_EQ(items(w->findChild<QComboBox *>("cmbSpeed")),
                  QStringList({"9600", "19200", "38400", "57600", "115200"}));
        EXPECT_EQ(w->findChild<QPushButton *>("Start")->text(), "Start");
        auto *bar = w->findChild<QProgressBar *>("ProgressBar1");
        EXPECT_EQ(bar->minimum(), 0);
        EXPECT_EQ(bar->maximum(), 100);
        EXPECT_EQ(w->findChild<QLabel *>("Label4")->text(), "Speed");
        EXPECT_EQ(w->findChild<QLabel *>("Label2")->text(), "Port");
        EXPECT_EQ(w->findChild<QLabel *>("Label1")->text(), "Status");
    }
    grabWindow(&send, "frmSettingsSend");
    grabWindow(&receive, "frmSettingsReceive");
}

TEST(TransferWindows, SendWindowRunsTheExchange)
{
    test::TempHome home;
    const QString path = home.file("P.VDX");
    test::writeFile(path, "MISC.LANGUAGE=1\r\nFLAG=17\r\n");
    test::FakeSerialPort port;
    test::FakeIrDevice ir;
    ScriptedMessenger messenger;
    test::SettingsTerminal terminal;
    port.setResponder([&](const QByteArray &t) { return terminal.take(t); });

    frmSettingsSend w(path, nullptr, &port, &ir, &messenger);
    w.show();
    port.setOpenFailure("busy");
    w.Start->click();
    ASSERT_TRUE(test::waitUntil([&] { return !messenger.shown.empty(); }));
    // The kept text, then the port's own words on the device and the cause.
    EXPECT_EQ(messenger.shown.back().text, TransferText::cantOpenPort() + "\r\n\r\n" + port.errorString());
    EXPECT_TRUE(messenger.shown.back().text.contains("busy")) << messenger.shown.back().text.toStdString();
    EXPECT_EQ(messenger.shown.back().icon, MsgIcon::Critical);
    EXPECT_TRUE(w.Start->isEnabled());
    EXPECT_TRUE(w.cmbCommPort->isEnabled());

    port.setOpenFailure({});
    w.cmbCommPort->setCurrentIndex(2);
    w.cmbSpeed->setCurrentText("115200");
    w.Start->click();
    ASSERT_TRUE(test::waitUntil([&] { return messenger.shown.size() == 2; }));
    EXPECT_EQ(messenger.shown.back().text, TransferText::sendSuccess());
    EXPECT_EQ(messenger.shown.back().icon, MsgIcon::Exclamation);
    EXPECT_EQ(port.CommPort(), 3);
    EXPECT_EQ(port.settingsAtOpen().back(), "115200,n,8,1");
    EXPECT_TRUE(terminal.crcAgreed());
    EXPECT_FALSE(w.isVisible()); // a success closes the window
    EXPECT_EQ(w.result(), QDialog::Accepted);

    // Over infrared a link that does not open closes the window silently.
    frmSettingsSend w2(path, nullptr, &port, &ir, &messenger);
    w2.show();
    ir.openResult = 0;
    w2.CommType->setChecked(true);
    w2.Start->click();
    ASSERT_TRUE(test::waitUntil([&] { return !w2.isVisible(); }));
    EXPECT_EQ(messenger.shown.size(), 2u);
}

TEST(TransferWindows, ReceiveWindowThenImport)
{
    test::TempHome home;
    test::FakeSerialPort port;
    test::FakeIrDevice ir;
    ScriptedMessenger messenger;
    const QString target = home.file("R.VDX");
    {
        frmSettingsReceive w(nullptr, &port, &ir, &messenger);
        w.show();
        w.Start->click();
        EXPECT_FALSE(w.Start->isEnabled());
        port.receive(test::SettingsTerminal::Stream({"VERSION=1", "MISC.LANGUAGE=2"}));
        ASSERT_TRUE(test::waitUntil([&] { return !w.isVisible(); }));
        EXPECT_EQ(w.outcome(), ReceiveOutcome::Accepted);

        ProfileSet set;
        messenger.answers.push_back(MsgAnswer::Ok);
        EXPECT_EQ(CompleteSettingsReception(w.outcome(), w.receiver().tempPath(), target, &set, messenger),
                  ImportResult::Imported);
        EXPECT_EQ(messenger.shown.back().text, "Settings Received!\nPress OK to import.");
        EXPECT_EQ(messenger.shown.back().buttons, MsgButtons::OkCancel);
        EXPECT_EQ(test::readFile(target), "MISC.LANGUAGE=2\r\n");
        EXPECT_EQ(set.TerminalOptions.Language, 2);
    }
    { // Cancel after "EOF": the error after the window closed, the
        // earlier target untouched.
        frmSettingsReceive w(nullptr, &port, &ir, &messenger);
        w.show();
        w.Start->click();
        port.receive("SETTINGS\rBOF\rMISC.LANGUAGE=3\rEOF\r");
        ASSERT_TRUE(test::waitUntil([&] { return w.receiver().expectedCrc() == "EOF"; }));
        w.Command1->click();
        EXPECT_FALSE(w.isVisible());
        EXPECT_EQ(w.outcome(), ReceiveOutcome::CancelledAfterEof);
        messenger.clear();
        ProfileSet set;
        EXPECT_EQ(CompleteSettingsReception(w.outcome(), w.receiver().tempPath(), target, &set, messenger),
                  ImportResult::Failed);
        EXPECT_EQ(messenger.texts(), QStringList({TransferText::receiveError()}));
        EXPECT_EQ(test::readFile(target), "MISC.LANGUAGE=2\r\n");
    }
    { // A port that does not open: the kept text, then the port's own
        // words on the device and the cause; Start is offered again.
        port.setOpenFailure("busy");
        frmSettingsReceive w(nullptr, &port, &ir, &messenger);
        w.show();
        messenger.clear();
        w.Start->click();
        ASSERT_TRUE(test::waitUntil([&] { return !messenger.shown.empty(); }));
        EXPECT_EQ(messenger.shown.back().text, TransferText::cantOpenPort() + "\r\n\r\n" + port.errorString());
        EXPECT_TRUE(messenger.shown.back().text.contains("busy")) << messenger.shown.back().text.toStdString();
        EXPECT_TRUE(w.Start->isEnabled());
        port.setOpenFailure({});
    }
    { // A profile that cannot be saved where it was asked for: the kept
        // text, then the file and the reason; the target is not made.
        frmSettingsReceive w(nullptr, &port, &ir, &messenger);
        w.show();
        w.Start->click();
        port.receive(test::SettingsTerminal::Stream({"VERSION=1", "MISC.LANGUAGE=4"}));
        ASSERT_TRUE(test::waitUntil([&] { return !w.isVisible(); }));
        ASSERT_EQ(w.outcome(), ReceiveOutcome::Accepted);
        const QString nowhere = home.file("no/such/folder/R.VDX");
        messenger.clear();
        messenger.answers.push_back(MsgAnswer::Ok);
        EXPECT_EQ(CompleteSettingsReception(w.outcome(), w.receiver().tempPath(), nowhere, nullptr, messenger),
                  ImportResult::Failed);
        ASSERT_EQ(messenger.texts().size(), 3) << messenger.texts().join(" | ").toStdString();
        EXPECT_EQ(messenger.texts()[1], TransferText::importError());
        EXPECT_TRUE(messenger.texts()[2].startsWith("The received settings cannot be saved to " + nowhere + ": "))
            << messenger.texts()[2].toStdString();
        EXPECT_FALSE(QFileInfo::exists(nowhere));
    }
    { // Cancel before anything: nothing is said.
        frmSettingsReceive w(nullptr, &port, &ir, &messenger);
        w.show();
        w.Start->click();
        w.Command1->click();
        messenger.clear();
        EXPECT_EQ(CompleteSettingsReception(w.outcome(), w.receiver().tempPath(), target, nullptr, messenger),
                  ImportResult::Nothing);
        EXPECT_TRUE(messenger.shown.empty());
    }
}
