#include "platform/MappedHeader.h"

#include "platform/FileChecks.h"

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx {

namespace {

// A store into a mapped page the file no longer holds raises SIGBUS. While
// Put copies, the handler jumps back into it; any other bus error goes to
// the handler there was before, or ends the program as it would have.
thread_local sigjmp_buf *t_putting = nullptr;
struct sigaction g_before {};
std::once_flag g_installed;

void OnBusError(int signal, siginfo_t *info, void *context)
{
    if (sigjmp_buf *back = t_putting) {
        t_putting = nullptr;
        siglongjmp(*back, 1);
    }
    if ((g_before.sa_flags & SA_SIGINFO) && g_before.sa_sigaction) {
        g_before.sa_sigaction(signal, info, context);
        return;
    }
    if (!(g_before.sa_flags & SA_SIGINFO) && g_before.sa_handler != SIG_DFL && g_before.sa_handler != SIG_IGN) {
        g_before.sa_handler(signal);
        return;
    }
    // The default action: the faulting store runs again and ends the
    // program with the signal.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(SIGBUS, &fallback, nullptr);
}

} // namespace

bool MappedHeader::Map(int fd, std::size_t minimum)
{
    Unmap();
    struct stat st {};
    const long page = ::sysconf(_SC_PAGESIZE);
    if (page <= 0 || minimum > std::size_t(page) || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)
        || st.st_size < off_t(minimum) || SharedBeyondThisMachine(fd))
        return false;
    void *at = ::mmap(nullptr, std::size_t(page), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (at == MAP_FAILED)
        return false;
    std::call_once(g_installed, [] {
        struct sigaction action {};
        action.sa_sigaction = OnBusError;
        // SA_NODEFER: jumping out of the handler leaves SIGBUS unblocked,
        // without a system call to restore the signal mask.
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &g_before);
    });
    m_page = static_cast<unsigned char *>(at);
    m_length = std::size_t(page);
    return true;
}

void MappedHeader::Unmap()
{
    if (m_page)
        ::munmap(m_page, m_length);
    m_page = nullptr;
    m_length = 0;
}

bool MappedHeader::Put(std::size_t offset, const void *bytes, std::size_t size)
{
    if (!m_page || offset > m_length || size > m_length - offset)
        return false;
    sigjmp_buf back;
    if (sigsetjmp(back, 0) != 0)
        return false;
    t_putting = &back;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    volatile unsigned char *to = m_page + offset;
    const auto *from = static_cast<const unsigned char *>(bytes);
    for (std::size_t i = 0; i < size; ++i)
        to[i] = from[i];
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_putting = nullptr;
    return true;
}

} // namespace vx
