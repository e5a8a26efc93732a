// Write -> read -> write: the file comes back byte for byte, and the set
// comes back apart from what the format cannot keep.
#include "RandomProfile.h"
#include "TestSupport.h"
#include "platform/Messenger.h"
#include "profiles/ProfileFile.h"

#include <gtest/gtest.h>

using namespace vx;

namespace {

// The first member where two sets differ, for a readable failure.
QString firstDifference(const ProfileSet &a, const ProfileSet &b)
{
    if (a.TerminalFamily != b.TerminalFamily)
        return QStringLiteral("TerminalFamily %1 / %2").arg(a.TerminalFamily, b.TerminalFamily);
    if (a.TerminalOptions != b.TerminalOptions)
        return QStringLiteral("TerminalOptions");
    for (int c = 0; c < 10; ++c)
        if (a.Constants[c] != b.Constants[c])
            return QStringLiteral("Constants %1").arg(c);
    for (int e = 0; e < 5; ++e)
        if (a.ExtFileLayouts[e] != b.ExtFileLayouts[e])
            return QStringLiteral("ExtFileLayouts %1").arg(e);
    for (int n = 0; n < 5; ++n) {
        const ProfileFunction &x = a.Functions[n], &y = b.Functions[n];
        for (int m = 0; m < 8; ++m)
            if (x.Fields[m] != y.Fields[m])
                return QStringLiteral("function %1 field %2").arg(n).arg(m);
        if (x.ExtLink != y.ExtLink)
            return QStringLiteral("function %1 ExtLink").arg(n);
        if (x.Comm != y.Comm)
            return QStringLiteral("function %1 Comm (Port %2 / %3)").arg(n).arg(x.Comm.Port).arg(y.Comm.Port);
        if (x.Modem != y.Modem)
            return QStringLiteral("function %1 Modem").arg(n);
        if (x != y)
            return QStringLiteral("function %1: %2 / %3").arg(n).arg(x.Name, y.Name);
    }
    return QString();
}

// The first line where two files differ, empty when they are the same.
std::string firstDifferentLine(const QByteArray &a, const QByteArray &b)
{
    const QList<QByteArray> x = a.split('\n'), y = b.split('\n');
    for (int i = 0; i < qMax(x.size(), y.size()); ++i) {
        const QByteArray l = x.value(i), r = y.value(i);
        if (l != r)
            return "line " + std::to_string(i + 1) + ": " + l.toStdString() + " / " + r.toStdString();
    }
    return {};
}

// Reads the text the way Open does: New, then the file.
ProfileSet readBack(const QByteArray &content)
{
    ProfileSet set;
    const ProfileReadResult r = ParseProfileText(content, set);
    EXPECT_TRUE(r.ok()) << r.lineNumber << ": " << r.detail.toStdString();
    EXPECT_EQ(r.linesSkipped, 0);
    return set;
}

} // namespace

TEST(ProfileRoundTrip, DefaultProfileThroughAFile)
{
    test::TempHome home;
    const ProfileSet set;
    const QString path = home.file("new.VDX");
    ASSERT_TRUE(WriteProfileFile(set, path));
    ProfileSet back;
    back.Functions[3].Name = QStringLiteral("changed before Open");
    back.SetDefault();
    ASSERT_TRUE(ReadProfileFile(path, back, Messenger::current()));
    EXPECT_TRUE(back == set) << firstDifference(back, set).toStdString();
    EXPECT_EQ(ProfileFileContent(back), test::readFile(path));
}

TEST(ProfileRoundTrip, SeededRandomProfiles)
{
    int sevenKeyboard = 0;
    int moreThanFourKeys = 0;
    for (unsigned seed = 1; seed <= 300; ++seed) {
        std::mt19937 rng(seed);
        const bool away = seed % 2 == 1;
        const ProfileSet written = test::RandomProfile(rng, away);
        const QByteArray first = ProfileFileContent(written);
        const ProfileSet back = readBack(first);
        const ProfileSet expected = test::ExpectedAfterRoundTrip(written);
        ASSERT_TRUE(back == expected) << "seed " << seed << ": " << firstDifference(back, expected).toStdString();
        // The file comes back byte for byte; only an empty function name
        // changes it, to "N/A".
        const QByteArray second = ProfileFileContent(back);
        QByteArray firstNamed = first;
        firstNamed.replace(".NAME=\r\n", ".NAME=N/A\r\n");
        ASSERT_EQ(firstDifferentLine(second, firstNamed), "") << "seed " << seed;
        ASSERT_EQ(ProfileFileContent(readBack(second)), second) << "seed " << seed;

        if (away) {
            // Every stored member of function 0 left its default.
            const ProfileFunction def = ProfileSet().Functions[0];
            const ProfileFunction &f = written.Functions[0];
            EXPECT_NE(f.Comm.Port, def.Comm.Port);
            EXPECT_NE(f.Comm.Parity, def.Comm.Parity);
            EXPECT_NE(f.Modem.Timeout, def.Modem.Timeout);
            EXPECT_NE(written.TerminalOptions.AutoPort, 0);
            EXPECT_NE(written.TerminalFamily, "8000");
        }
        for (const ProfileFunction &f : written.Functions) {
            sevenKeyboard += written.TerminalFamily == "711" && f.Comm.Port == 3;
            int keys = 0;
            for (const ProfileField &d : f.Fields)
                keys += d.IsKey;
            moreThanFourKeys += keys > 4;
        }
    }
    // The seeds reach the lossy cases.
    EXPECT_GT(sevenKeyboard, 0);
    EXPECT_GT(moreThanFourKeys, 0);
}

TEST(ProfileRoundTrip, DocumentedLosses)
{
    ProfileSet set;
    set.TerminalFamily = QStringLiteral("8300");
    set.Functions[0].Name = QStringLiteral("   ");
    set.Functions[0].Fields[2].DefaultAutomatic = 1;
    set.Functions[0].Comm.FieldSeparator = QStringLiteral(";");
    set.Functions[0].Comm.FieldSeparatorCode = 59;
    for (ProfileField &d : set.Functions[1].Fields)
        d.IsKey = 1;
    set.Functions[1].Fields[6].Name = QStringLiteral("  Qty ");

    const ProfileSet back = readBack(ProfileFileContent(set));
    EXPECT_EQ(back.TerminalFamily, "8000");
    EXPECT_EQ(back.Functions[0].Name, "N/A");
    EXPECT_EQ(back.Functions[0].Fields[2].DefaultEnabled, 1);
    EXPECT_EQ(back.Functions[0].Fields[2].DefaultAutomatic, 0);
    EXPECT_EQ(back.Functions[0].Comm.FieldSeparator, ",");
    EXPECT_EQ(back.Functions[0].Comm.FieldSeparatorCode, 59);
    for (int m = 0; m < 8; ++m)
        EXPECT_EQ(back.Functions[1].Fields[m].IsKey, m < 4 ? 1 : 0);
    EXPECT_EQ(back.Functions[1].Fields[6].Name, "Qty");
}
