#include "app/FairLock.h"

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#endif

namespace stemora::fair_lock_detail {

// On Linux a bare futex rather than std::atomic::wait: libstdc++'s wait first spins with
// sched_yield, and on a busy core a yield can hand the CPU to another process for a whole time
// slice while the lock is handed to this thread and its holder waits for it. In bench_lock (two
// spinning processes on two cores) that raised the window thread's p99 wait from about 2.5 ms
// to about 16 ms.
#if defined(__linux__)

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

namespace {
// The kernel compares and waits on the 32-bit word the atomic holds.
std::uint32_t* futexWord(std::atomic<std::uint32_t>& word) noexcept {
    return reinterpret_cast<std::uint32_t*>(&word);
}
}  // namespace

void SleepWhile(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    syscall(SYS_futex, futexWord(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void WakeAll(std::atomic<std::uint32_t>& word) noexcept {
    syscall(SYS_futex, futexWord(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

#else

void SleepWhile(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    word.wait(expected, std::memory_order_seq_cst);
}

void WakeAll(std::atomic<std::uint32_t>& word) noexcept {
    word.notify_all();
}

#endif

}  // namespace stemora::fair_lock_detail
