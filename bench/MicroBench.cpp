// Micro-benchmarks of the pieces every received record goes through: the
// check characters, the record check, the store per target kind, and the
// CRC-32 of libVendrix.so against zlib's.
//
//   vendrix_microbench [--benchmark_filter=...] [--benchmark_format=json] ...
//
// The store benchmarks write into a temporary folder that is removed at the
// end; each one starts from a fresh target.
#include "collector/Collector.h"
#include "crclib/vendrix_crc.h"
#include "platform/CheckCharacters.h"
#include "platform/Clock.h"
#include "platform/Messenger.h"
#include "platform/Paths.h"
#include "settings/IniStore.h"
#include "settings/Settings.h"
#include "store/RecordStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// A 50-character record of a typical inventory function: fields separated
// by ";" (article code, quantity, location, date, operator, filler).
QByteArray SampleRecord(int i)
{
    QByteArray r = QByteArray::number(10000000 + i) + ";ART-" + QByteArray::number(i % 9973).rightJustified(6, '0')
                   + ";" + QByteArray::number(i % 500) + ";LOC-A7;20240131;OP12;";
    if (r.size() < 50)
        r += QByteArray(50 - r.size(), 'x');
    return r.left(50);
}

QByteArray CheckedRecord(int i)
{
    const QByteArray text = SampleRecord(i);
    return text + vx::XorChecksum(text);
}

void BM_XorChecksum(benchmark::State &state)
{
    const QByteArray text = SampleRecord(1);
    for (auto _ : state) {
        QByteArray check = vx::XorChecksum(text);
        benchmark::DoNotOptimize(check);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * text.size());
}
BENCHMARK(BM_XorChecksum);

void BM_CheckRecord(benchmark::State &state)
{
    const QByteArray line = CheckedRecord(1);
    for (auto _ : state) {
        bool ok = vx::ChannelProtocol::CheckRecord(line);
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * line.size());
}
BENCHMARK(BM_CheckRecord);

// One channel (1) on an ACK/NAK protocol, writing into a target of the
// given type in a fresh folder, as the reception does: CheckRecord, then
// StoreRecord of the record without them.
struct StoreBench {
    explicit StoreBench(const QString &type, const QString &fileName)
        : store(vx::Paths::settingsFile()), settings(vx::Settings::defaults())
    {
        settings.Com[1].ConnType = QStringLiteral("TCP");
        settings.Com[1].ConnProtocol = QStringLiteral("ACK/NAK");
        settings.DBMS[1].Type = type;
        settings.DBMS[1].Name = dir.path() + QLatin1Char('/') + fileName;
        settings.DBMS[1].Policy = QStringLiteral("Append");
        settings.DBMS[1].SepCode = QStringLiteral(";");
        vx::SaveSettings(store, settings);
        vx::RecordStore::Context context{settings, store, messenger, clock, vx::Paths::programDir()};
        records = std::make_unique<vx::RecordStore>(std::move(context));
        records->CreaDB(1);
    }

    QTemporaryDir dir;
    vx::IniStore store;
    vx::Settings settings;
    vx::ScriptedMessenger messenger;
    vx::SystemClock clock;
    std::unique_ptr<vx::RecordStore> records;
};

void BM_CheckAndStore(benchmark::State &state, const char *type, const char *fileName)
{
    StoreBench bench(QString::fromLatin1(type), QString::fromLatin1(fileName));
    std::vector<QByteArray> lines;
    for (int i = 0; i < 1024; ++i)
        lines.push_back(CheckedRecord(i));
    size_t i = 0;
    int64_t stored = 0;
    for (auto _ : state) {
        const QByteArray &line = lines[i++ & 1023];
        if (vx::ChannelProtocol::CheckRecord(line) && bench.records->StoreRecord(line.first(line.size() - 2), 1))
            ++stored;
    }
    // The end of a transfer: the target reaches the disk once.
    bench.records->SyncTarget(1);
    if (stored != int64_t(state.iterations()))
        state.SkipWithError("a record was refused");
    state.SetItemsProcessed(stored);
}
BENCHMARK_CAPTURE(BM_CheckAndStore, TXT, "TXT (*.txt)", "data.txt")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_CheckAndStore, CSV, "CSV (*.csv)", "data.csv")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_CheckAndStore, SQLite, "Access 2.0 (*.mdb)", "data.mdb")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_CheckAndStore, dBase, "Dbase IV (*.dbf)", "data.dbf")->Unit(benchmark::kMicrosecond);

// The CRC routines over a buffer of non-zero bytes (the library's Crc32
// stops at a NUL, as its texts are C strings).
std::vector<char> CrcInput(size_t size)
{
    std::vector<char> buffer(size + 1);
    for (size_t i = 0; i < size; ++i)
        buffer[i] = char(1 + (i * 131) % 255);
    buffer[size] = 0;
    return buffer;
}

void BM_CrcLibrary(benchmark::State &state)
{
    const auto size = size_t(state.range(0));
    const std::vector<char> buffer = CrcInput(size);
    for (auto _ : state) {
        uint32_t reg = Crc32(buffer.data(), BeginCrc32());
        benchmark::DoNotOptimize(EndCrc32(reg, nullptr));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_CrcLibrary)->Arg(64)->Arg(4096)->Arg(1 << 20);

void BM_ZlibCrc32(benchmark::State &state)
{
    const auto size = size_t(state.range(0));
    const std::vector<char> buffer = CrcInput(size);
    for (auto _ : state) {
        uLong crc = crc32(0L, reinterpret_cast<const Bytef *>(buffer.data()), uInt(size));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_ZlibCrc32)->Arg(64)->Arg(4096)->Arg(1 << 20);

} // namespace

int main(int argc, char **argv)
{
    // A home of its own, so nothing of the user's settings is read or written.
    QTemporaryDir home;
    qputenv("VENDRIX_HOME", QFile::encodeName(home.path()));
    QCoreApplication app(argc, argv);
    // The templates are in the program folder of the build, not beside the
    // benchmark.
    vx::Paths::setProgramDir(QStringLiteral(VENDRIX_BUILD_PROGRAM_DIR));

    // Both CRCs must agree before their speeds are compared.
    const std::vector<char> probe = CrcInput(4096);
    const uint32_t ours = EndCrc32(Crc32(probe.data(), BeginCrc32()), nullptr);
    const uint32_t zlibs = uint32_t(crc32(0L, reinterpret_cast<const Bytef *>(probe.data()), 4096));
    if (ours != zlibs) {
        std::fprintf(stderr, "libVendrix.so CRC %08X differs from zlib's %08X\n", ours, zlibs);
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
