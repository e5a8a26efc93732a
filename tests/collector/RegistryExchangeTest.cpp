#include "collector/RegistryExchange.h"
#include "TestSupport.h"
#include "platform/Messenger.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace vx;
using namespace vx::RegistryExchange;

TEST(RegistryExchange, ValuesAreFilesUnderRootAndKeyPath)
{
    test::TempHome home;
    ScriptedMessenger messenger;
    const QString root = "HKEY_CURRENT_USER";
    EXPECT_TRUE(WriteRegistryValue(root, "Software\\Vendrix\\DataExchange", "ID(1)", "2", messenger));
    const QString file = home.file("exchange/HKEY_CURRENT_USER/Software/Vendrix/DataExchange/ID(1)");
    EXPECT_EQ(test::readFile(file), QByteArray("2"));
    EXPECT_EQ(ReadRegistryValue(root, "Software\\Vendrix\\DataExchange", "ID(1)", "0"), "2");

    // Another program's "echo 1 > ID(1)": one line end dropped.
    test::writeFile(file, "1\n");
    EXPECT_EQ(ReadRegistryValue(root, "Software\\Vendrix\\DataExchange", "ID(1)", "0"), "1");
    test::writeFile(file, "1\r\n");
    EXPECT_EQ(ReadRegistryValue(root, "Software\\Vendrix\\DataExchange", " ID(1) ", "0"), "1");
    // Letter case counts; missing values give the default.
    EXPECT_EQ(ReadRegistryValue(root, "Software\\Vendrix\\DataExchange", "id(1)", "0"), "0");
    EXPECT_EQ(ReadRegistryValue(root, "Software\\Nothing", "ID(1)", "d"), "d");
    // A name stored with blanks around it is found; a long value hides nothing.
    QDir().mkpath(home.file("exchange/HKEY_CURRENT_USER/K"));
    test::writeFile(home.file("exchange/HKEY_CURRENT_USER/K/ File(1) "), "/tmp/x.txt");
    test::writeFile(home.file("exchange/HKEY_CURRENT_USER/K/Long"), QByteArray(4000, 'L'));
    EXPECT_EQ(ReadRegistryValue(root, "K", "File(1)", ""), "/tmp/x.txt");
    EXPECT_EQ(ReadRegistryValue(root, "K", "Long", "").size(), 4000);
    EXPECT_TRUE(messenger.shown.empty());
}

TEST(RegistryExchange, RootNames)
{
    test::TempHome home;
    ScriptedMessenger messenger;
    // Empty root: reads give the default, writes show the message.
    EXPECT_EQ(ReadRegistryValue("", "DataExchange", "ID(1)", "0"), "0");
    EXPECT_FALSE(WriteRegistryValue("", "DataExchange", "ID(1)", "1", messenger));
    EXPECT_EQ(messenger.texts(), QStringList({"Error opening or creating registry key"}));

    // HKEY_USERS is a root like the others.
    EXPECT_TRUE(WriteRegistryValue("HKEY_USERS", "DataExchange", "ID(1)", "7", messenger));
    EXPECT_EQ(ReadRegistryValue("HKEY_USERS", "DataExchange", "ID(1)", "0"), "7");

    // An unknown root reads under HKEY_LOCAL_MACHINE and cannot be written.
    EXPECT_TRUE(WriteRegistryValue("HKEY_LOCAL_MACHINE", "DataExchange", "ID(2)", "9", messenger));
    EXPECT_EQ(ReadRegistryValue("MY_ROOT", "DataExchange", "ID(2)", "0"), "9");
    messenger.clear();
    EXPECT_FALSE(WriteRegistryValue("MY_ROOT", "DataExchange", "ID(2)", "1", messenger));
    EXPECT_EQ(messenger.shown.size(), 1u);

    // Key paths and names cannot leave the tree.
    messenger.clear();
    EXPECT_FALSE(WriteRegistryValue("HKEY_CURRENT_USER", "..\\..\\escape", "ID(1)", "1", messenger));
    EXPECT_FALSE(WriteRegistryValue("HKEY_CURRENT_USER", "DataExchange", "../ID(1)", "1", messenger));
    EXPECT_EQ(messenger.shown.size(), 2u);
    EXPECT_FALSE(QDir(home.file("escape")).exists());
}
