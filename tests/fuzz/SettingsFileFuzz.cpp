// The settings file reader on arbitrary file contents: Vendrix.ini holds the
// bytes, the settings store reads it and LoadSettings fills every record
// (and writes every key back, as at every start).
//
// Besides never crashing, what was loaded must survive the round trip: a
// second start on the file the first one left behind reads the same values
// (a value's line ends become blanks, since a value never holds one), and
// from the second start on the file stays the same (line-end CRs aside).
// With VX_FUZZ_DUMP=<prefix> a failing input and the two files are written
// to <prefix>.in, <prefix>.2 and <prefix>.3.
#include "settings/IniStore.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QTemporaryDir *g_home = nullptr;

QStringList Render(const vx::Settings &s)
{
    QStringList v;
    for (int n = 1; n <= 4; ++n) {
        const vx::ChannelSettings &c = s.Com[n];
        v << c.ConnProtocol << c.ConnType << c.Port << c.Speed << c.Parity << c.DataBits << c.StopBits << c.FlowControl
          << c.IP1 << c.IP2 << c.IP3 << c.IP4 << c.IP5 << c.Auto << c.AutoSec << c.ResetModem << c.InitModem;
        const vx::StoreSettings &t = s.DBMS[n];
        v << t.Type << t.Name << t.Policy << t.SepCode << t.AlwaysOverwrite;
    }
    for (int n = 1; n <= 5; ++n) {
        const vx::ExtFileSettings &e = s.ExtFile[n];
        v << e.Name << e.DelAfterSend << e.IsZucchetti << e.MaxLenght;
    }
    const vx::MiscSettings &m = s.Misc;
    v << m.RunMinimized << m.RunIconized << m.RunNormal << QString::number(m.ProfileMode) << m.ChiavePC
      << m.PercorsoChiave << m.Password;
    return v;
}

// A value as the store writes it: no line ends.
QString Stored(QString value)
{
    return value.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
}

QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray WithoutTrailingCrs(const QByteArray &file)
{
    QList<QByteArray> lines = file.split('\n');
    for (QByteArray &line : lines)
        while (line.endsWith('\r'))
            line.chop(1);
    return lines.join('\n');
}

[[noreturn]] void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "settings fuzz: %s: %s\n", what, detail.toUtf8().toPercentEncoding(" =[]()").constData());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    // A folder of memory where one exists: every save syncs the file.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/vx-fuzz-XXXXXX")
                                                                   : QDir::tempPath() + "/vx-fuzz-XXXXXX";
    // Static, so it is removed when the run ends normally.
    static QTemporaryDir home(base);
    g_home = &home;
    qputenv("VENDRIX_HOME", QFile::encodeName(g_home->path()));
    qputenv("QT_LOGGING_RULES", "*.warning=false");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString path = g_home->path() + QStringLiteral("/Vendrix.ini");
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            fail("cannot write", path);
        f.write(reinterpret_cast<const char *>(data), qint64(size));
    }

    vx::Settings first = vx::Settings::defaults();
    {
        vx::IniStore store(path);
        vx::LoadSettings(store, first);
        // Everything the program wrote is readable again from the same store.
        for (int n = 1; n <= 4; ++n)
            if (store.read(vx::DbmsSection(n), QStringLiteral("Name"), QStringLiteral("<missing>"))
                != Stored(first.DBMS[n].Name))
                fail("a written value reads back differently", first.DBMS[n].Name);
    }

    vx::Settings second = vx::Settings::defaults();
    {
        vx::IniStore store(path);
        vx::LoadSettings(store, second);
    }
    const QByteArray afterSecond = ReadAll(path);
    vx::Settings third = vx::Settings::defaults();
    {
        vx::IniStore store(path);
        vx::LoadSettings(store, third);
    }
    const QByteArray afterThird = ReadAll(path);

    const QStringList a = Render(first);
    const QStringList b = Render(second);
    const QStringList c = Render(third);
    for (int i = 0; i < a.size(); ++i)
        if (Stored(a[i]) != b[i] || b[i] != c[i])
            fail("a value did not survive saving and loading", a[i] + QStringLiteral(" -> ") + b[i]);
    // The reader takes a CR before the line end as part of the line end, so
    // a line ending in several CRs loses one at every save; apart from that
    // the file stays as it is from one start to the next.
    if (WithoutTrailingCrs(afterSecond) != WithoutTrailingCrs(afterThird)) {
        const QByteArray dump = qgetenv("VX_FUZZ_DUMP");
        if (!dump.isEmpty()) {
            for (const auto &[suffix, bytes] :
                 {std::pair<const char *, QByteArray>{
                      ".in", QByteArray(reinterpret_cast<const char *>(data), qsizetype(size))},
                  {".2", afterSecond},
                  {".3", afterThird}}) {
                QFile f(QString::fromLocal8Bit(dump + suffix));
                if (f.open(QIODevice::WriteOnly))
                    f.write(bytes);
            }
        }
        fail("the settings file keeps changing from one start to the next", QString::fromUtf8(afterThird.left(200)));
    }
    return 0;
}
