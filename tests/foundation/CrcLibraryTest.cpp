#include "crclib/CrcLibrary.h"
#include "TestSupport.h"
#include "crclib/vendrix_crc.h"
#include "platform/Messenger.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>
#include <zlib.h>

using namespace vx;

namespace {

QByteArray endHex(uint32_t reg, uint32_t *value = nullptr)
{
    char buffer[10];
    std::memset(buffer, 'x', sizeof buffer);
    char *out = buffer;
    const uint32_t v = EndCrc32(reg, &out);
    if (value)
        *value = v;
    EXPECT_EQ(buffer[8], '\0');
    return QByteArray(buffer);
}

int32_t getLine(const QString &path, int n, QByteArray *line, int size, int bufferSize = 64)
{
    QByteArray buffer(bufferSize, '#');
    char *out = buffer.data();
    const QByteArray p = path.toLocal8Bit();
    const int32_t rc = get_line(path.isNull() ? nullptr : p.constData(), n, &out, size);
    *line = QByteArray(buffer.constData());
    return rc;
}

} // namespace

TEST(CrcLibrary, CheckValueAndPieces)
{
    uint32_t value = 0;
    EXPECT_EQ(endHex(Crc32("123456789", BeginCrc32()), &value), "CBF43926");
    EXPECT_EQ(value, 0xCBF43926u);

    // Pieces give the whole; empty and absent texts change nothing.
    uint32_t reg = Crc32("1234", BeginCrc32());
    reg = Crc32("", reg);
    reg = Crc32(nullptr, reg);
    reg = Crc32("56789", reg);
    EXPECT_EQ(endHex(reg), "CBF43926");

    // Nothing fed: all zeros. The text ends at its NUL.
    EXPECT_EQ(endHex(BeginCrc32()), "00000000");
    const char withNul[] = "123456789\0garbage";
    EXPECT_EQ(endHex(Crc32(withNul, BeginCrc32())), "CBF43926");

    // Without a buffer the value is still returned.
    char *none = nullptr;
    EXPECT_EQ(EndCrc32(Crc32("123456789", BeginCrc32()), &none), 0xCBF43926u);
    EXPECT_EQ(EndCrc32(Crc32("123456789", BeginCrc32()), nullptr), 0xCBF43926u);
}

TEST(CrcLibrary, HighValuesPrintUnsigned)
{
    // "a" has the CRC E8B7BE43: above 0x7FFFFFFF, eight digits, no sign.
    EXPECT_EQ(endHex(Crc32("a", BeginCrc32())), "E8B7BE43");
    EXPECT_EQ(endHex(0x00000000u), "FFFFFFFF");
}

TEST(CrcLibrary, AgreesWithZlibOnRandomData)
{
    QRandomGenerator rng(20261206);
    for (int round = 0; round < 300; ++round) {
        const int length = static_cast<int>(rng.bounded(4096));
        QByteArray data(length, '\0');
        for (char &c : data)
            c = static_cast<char>(1 + rng.bounded(255)); // no NUL inside
        // Fed in random pieces.
        uint32_t reg = BeginCrc32();
        int at = 0;
        while (at < length) {
            const int piece = 1 + static_cast<int>(rng.bounded(300));
            reg = Crc32(data.mid(at, piece).constData(), reg);
            at += piece;
        }
        uint32_t mine = 0;
        endHex(reg, &mine);
        const uLong expected =
            crc32(0L, reinterpret_cast<const Bytef *>(data.constData()), static_cast<uInt>(data.size()));
        ASSERT_EQ(mine, static_cast<uint32_t>(expected)) << "length " << length;
    }
}

TEST(CrcLibrary, GetLineResultCodes)
{
    test::TempHome home;
    const QString oneLine = home.file("one.txt");
    test::writeFile(oneLine, "ABC\r\n");
    QByteArray line;

    EXPECT_EQ(getLine(oneLine, 1, &line, 64), 0);
    EXPECT_EQ(line, "ABC\n"); // CR LF delivered as LF
    EXPECT_EQ(getLine(oneLine, 2, &line, 64), 2);

    // n <= 0: the marker, even without a file; no path at all: 1.
    EXPECT_EQ(getLine(home.file("missing.txt"), 0, &line, 64), 2);
    EXPECT_EQ(line, "tromz");
    EXPECT_EQ(getLine(home.file("missing.txt"), -5, &line, 64), 2);
    EXPECT_EQ(line, "tromz");
    EXPECT_EQ(getLine(QString(), 1, &line, 64), 1);
    EXPECT_EQ(getLine(home.file("missing.txt"), 1, &line, 64), 1);

    // No buffer, or no room.
    char *none = nullptr;
    EXPECT_EQ(get_line(oneLine.toLocal8Bit().constData(), 1, &none, 64), 4);
    EXPECT_EQ(get_line(oneLine.toLocal8Bit().constData(), 1, nullptr, 64), 4);
    EXPECT_EQ(getLine(oneLine, 1, &line, 0), 4);

    // Size 4 holds 3 characters: ABCD and ABC+LF do not fit, AB+LF does.
    const QString lines = home.file("lines.txt");
    test::writeFile(lines, "AB\nABC\nABCD\n");
    EXPECT_EQ(getLine(lines, 1, &line, 4), 0);
    EXPECT_EQ(line, "AB\n");
    EXPECT_EQ(getLine(lines, 2, &line, 4), 4);
    EXPECT_EQ(getLine(lines, 3, &line, 4), 4);
    // A line that does not fit before line n stops the read too.
    test::writeFile(lines, "ABCDEFG\nAB\n");
    EXPECT_EQ(getLine(lines, 2, &line, 4), 4);
    // The last line may lack its line feed; the next one does not exist.
    test::writeFile(lines, "first\nlast");
    EXPECT_EQ(getLine(lines, 2, &line, 64), 0);
    EXPECT_EQ(line, "last");
    EXPECT_EQ(getLine(lines, 3, &line, 64), 2);
    // A folder is no file to read a line from.
    EXPECT_EQ(getLine(home.path(), 1, &line, 64), 1);
}

TEST(CrcLibrary, BinWriteAppendsBytes)
{
    test::TempHome home;
    const QString path = home.file("bin.dat");
    const QByteArray p = path.toLocal8Bit();
    EXPECT_EQ(BinWrite(p.constData(), "", 0x0D), 1);
    EXPECT_EQ(test::readFile(path), QByteArray("\r"));
    EXPECT_EQ(BinWrite(p.constData(), "AB", 0x10A), 1); // low 8 bits only
    EXPECT_EQ(test::readFile(path), QByteArray("\rAB\n"));
    EXPECT_EQ(BinWrite(p.constData(), nullptr, 'Z'), 1);
    EXPECT_EQ(test::readFile(path).size(), 5);

    EXPECT_EQ(BinWrite(nullptr, "x", 1), 0);
    EXPECT_EQ(BinWrite("", "x", 1), 0);
    const QByteArray unopenable = (home.path() + "/no/such/folder/file").toLocal8Bit();
    EXPECT_EQ(BinWrite(unopenable.constData(), "x", 1), 0);
}

TEST(CrcBinding, LoadsByNameFromTheProgramFolder)
{
    CrcLibrary library(test::programDir() + "/libVendrix.so");
    ASSERT_TRUE(library.ensureLoaded()) << library.errorText().toStdString();
    EXPECT_EQ(library.checksum({"1234", "56789"}), QByteArray("CBF43926"));
    QByteArray hex;
    EXPECT_EQ(library.end(library.feed("a", library.begin()), &hex), 0xE8B7BE43u);
    EXPECT_EQ(hex, "E8B7BE43");
}

TEST(CrcBinding, MissingLibraryIsReportedOnce)
{
    ScriptedMessenger messenger;
    CrcLibrary library("/nonexistent/libVendrix.so");
    library.setMessenger(&messenger);
    EXPECT_FALSE(library.ensureLoaded());
    EXPECT_FALSE(library.ensureLoaded());
    EXPECT_TRUE(library.checksum({"x"}).isEmpty());
    ASSERT_EQ(messenger.shown.size(), 1u);
    EXPECT_TRUE(messenger.shown[0].text.contains("/nonexistent/libVendrix.so"));
    EXPECT_EQ(messenger.shown[0].icon, MsgIcon::Critical);
}
