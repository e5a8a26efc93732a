// Runs a fuzz target without libFuzzer: every file of the given corpus
// folders (or files), then a fixed number of mutations of them drawn from a
// seeded generator, so a run is repeatable. A target reports a fault by
// crashing or aborting, as under libFuzzer.
//
//   fuzz_<name> [--mutations N] [--seed S] [--max-len BYTES] CORPUS...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes readWhole(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void addInputs(const std::filesystem::path &path, std::vector<Bytes> &inputs)
{
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(path)) {
        for (const auto &entry : std::filesystem::directory_iterator(path))
            if (entry.is_regular_file())
                files.push_back(entry.path());
        std::sort(files.begin(), files.end()); // same order on every machine
    } else {
        files.push_back(path);
    }
    for (const auto &file : files)
        inputs.push_back(readWhole(file));
}

// Text fragments that help reach deeper paths of line-oriented parsers.
const char *const kTokens[] = {
    "\r\n",        "\n",
    "\r",          "=",
    ".",           "-",
    "-1",          "0",
    "1",           "9",
    "12",          "255",
    "-13",         "32767",
    "99999999999", "PROFILE",
    "FIELD",       "BARCODE",
    "RECSTRUCT",   "EXTFILE",
    "CONST",       "MISC.",
    "COMAUTO.",    "COMPORT=",
    "COMTYPE=",    "COMPORTSETTINGS.",
    "KEYREC",      "SUMREC",
    "DUALC.",      "DUALNC.",
    "MODEM.",      "FLAG=17",
};

class Mutator {
public:
    explicit Mutator(std::uint64_t seed) : m_rng(seed) {}

    std::size_t below(std::size_t n) { return n == 0 ? 0 : std::size_t(m_rng() % n); }

    void mutate(Bytes &b, const std::vector<Bytes> &inputs, std::size_t maxLen)
    {
        const int steps = 1 + int(below(6));
        for (int s = 0; s < steps; ++s)
            step(b, inputs);
        if (b.size() > maxLen)
            b.resize(maxLen);
    }

private:
    void step(Bytes &b, const std::vector<Bytes> &inputs)
    {
        switch (below(9)) {
        case 0: // flip a bit
            if (!b.empty())
                b[below(b.size())] ^= std::uint8_t(1u << below(8));
            break;
        case 1: // any byte
            if (!b.empty())
                b[below(b.size())] = std::uint8_t(m_rng());
            break;
        case 2: { // insert a few random bytes
            const std::size_t at = below(b.size() + 1);
            const std::size_t n = 1 + below(8);
            for (std::size_t i = 0; i < n; ++i)
                b.insert(b.begin() + std::ptrdiff_t(at), std::uint8_t(m_rng()));
            break;
        }
        case 3: { // erase a range
            if (b.empty())
                break;
            const std::size_t at = below(b.size());
            const std::size_t n = 1 + below(std::min<std::size_t>(b.size() - at, 64));
            b.erase(b.begin() + std::ptrdiff_t(at), b.begin() + std::ptrdiff_t(at + n));
            break;
        }
        case 4: { // copy a range elsewhere
            if (b.empty())
                break;
            const std::size_t from = below(b.size());
            const std::size_t n = 1 + below(std::min<std::size_t>(b.size() - from, 128));
            const Bytes chunk(b.begin() + std::ptrdiff_t(from), b.begin() + std::ptrdiff_t(from + n));
            b.insert(b.begin() + std::ptrdiff_t(below(b.size() + 1)), chunk.begin(), chunk.end());
            break;
        }
        case 5: { // splice in a piece of another input
            const Bytes &other = inputs[below(inputs.size())];
            if (other.empty())
                break;
            const std::size_t from = below(other.size());
            const std::size_t n = 1 + below(std::min<std::size_t>(other.size() - from, 256));
            b.insert(b.begin() + std::ptrdiff_t(below(b.size() + 1)), other.begin() + std::ptrdiff_t(from),
                     other.begin() + std::ptrdiff_t(from + n));
            break;
        }
        case 6: { // insert a token
            const char *token = kTokens[below(sizeof kTokens / sizeof kTokens[0])];
            b.insert(b.begin() + std::ptrdiff_t(below(b.size() + 1)), token, token + std::strlen(token));
            break;
        }
        case 7: // cut the input short
            b.resize(below(b.size() + 1));
            break;
        default: { // replace a digit by another digit
            for (int tries = 0; tries < 16 && !b.empty(); ++tries) {
                std::uint8_t &c = b[below(b.size())];
                if (c >= '0' && c <= '9') {
                    c = std::uint8_t('0' + below(10));
                    break;
                }
            }
            break;
        }
        }
    }

    std::mt19937_64 m_rng;
};

int usage()
{
    std::fprintf(stderr, "usage: fuzz_<name> [--mutations N] [--seed S] [--max-len BYTES] CORPUS...\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);

    long mutations = 1000;
    std::uint64_t seed = 1;
    std::size_t maxLen = 1 << 16;
    std::vector<Bytes> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--mutations" || arg == "--seed" || arg == "--max-len") && i + 1 < argc) {
            const unsigned long long value = std::strtoull(argv[++i], nullptr, 10);
            if (arg == "--mutations")
                mutations = long(value);
            else if (arg == "--seed")
                seed = value;
            else
                maxLen = std::size_t(value);
        } else if (arg.rfind("--", 0) == 0) {
            return usage();
        } else if (!std::filesystem::exists(arg)) {
            std::fprintf(stderr, "fuzz driver: %s does not exist\n", arg.c_str());
            return 2;
        } else {
            addInputs(arg, inputs);
        }
    }
    if (inputs.empty())
        inputs.emplace_back(); // mutate from nothing

    for (const Bytes &input : inputs)
        LLVMFuzzerTestOneInput(input.data(), input.size());

    Mutator mutator(seed);
    for (long i = 0; i < mutations; ++i) {
        Bytes b = inputs[mutator.below(inputs.size())];
        mutator.mutate(b, inputs, maxLen);
        // An exactly sized copy, so a read past the end is caught by the
        // sanitizers when they are on.
        std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[b.size() ? b.size() : 1]);
        std::copy(b.begin(), b.end(), exact.get());
        LLVMFuzzerTestOneInput(exact.get(), b.size());
    }
    std::printf("%zu corpus inputs and %ld mutations run, seed %llu\n", inputs.size(), mutations,
                static_cast<unsigned long long>(seed));
    return 0;
}
