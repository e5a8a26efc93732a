// The profile reader on arbitrary bytes. Besides never crashing, whatever it
// reads must write back as a file that the reader takes without an error,
// and a second write -> read -> write must give the same file again: the
// losses of the file format settle after one round.
#include "profiles/ProfileFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));

    vx::ProfileSet set;
    const vx::ProfileReadResult read = vx::ParseProfileText(input, set);
    // A text refused whole (not text, no KEY=VALUE line) is refused before
    // its lines are read; the counts speak of a read that went through them.
    const bool refusedWhole = read.status == vx::ProfileReadResult::Status::NotProfile
                              || read.status == vx::ProfileReadResult::Status::CannotOpen;
    if (!refusedWhole && (read.linesSkipped > read.linesRead || read.lineNumber > read.linesRead + 1))
        std::abort();
    // A refusal at a line names it; a refusal of the whole text (not text,
    // no KEY=VALUE line) names none.
    const bool atLine =
        read.status == vx::ProfileReadResult::Status::BadValue || read.status == vx::ProfileReadResult::Status::Empty;
    if (atLine && read.lineNumber < 1)
        std::abort();

    const QByteArray once = vx::ProfileFileContent(set);
    vx::ProfileSet again;
    if (!vx::ParseProfileText(once, again).ok())
        std::abort();
    const QByteArray twice = vx::ProfileFileContent(again);
    vx::ProfileSet third;
    if (!vx::ParseProfileText(twice, third).ok() || vx::ProfileFileContent(third) != twice)
        std::abort();
    return 0;
}
