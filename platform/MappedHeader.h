#pragma once

#include <cstddef>

namespace vx {

// The first page of an open file, mapped for writing: a few bytes at its
// start (a table's header) are changed there by a store into memory instead
// of a system call, and every reader of the file sees them at once (the
// mapping is the file's own cached page). A sync of the descriptor writes
// them out like any other change.
//
// Only for a regular file of at least `minimum` bytes on a file system of
// this machine alone (see SharedBeyondThisMachine): over a network a mapped
// page reaches the server only in its own time, so there the caller keeps
// writing through the descriptor (Mapped() is false).
class MappedHeader {
public:
    MappedHeader() = default;
    ~MappedHeader() { Unmap(); }
    MappedHeader(const MappedHeader &) = delete;
    MappedHeader &operator=(const MappedHeader &) = delete;

    bool Map(int fd, std::size_t minimum);
    void Unmap();
    bool Mapped() const { return m_page != nullptr; }

    // Copies size bytes to offset of the page. False when the file no
    // longer holds that page (another program cut it to nothing): the bus
    // error this raises is caught, nothing is written, and the program goes
    // on.
    bool Put(std::size_t offset, const void *bytes, std::size_t size);

private:
    unsigned char *m_page = nullptr;
    std::size_t m_length = 0;
};

} // namespace vx
