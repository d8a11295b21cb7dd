#pragma once
// A ticket lock: threads get the lock in the order they asked for it.
//
// Why not std::mutex: the capture thread holds CaptureLock for a whole pass and takes it again as
// soon as it lets go. A std::mutex lets the thread that is already running win that race, so a
// window thread that waits for it can lose pass after pass and the display freezes. Here a waiter
// draws a ticket and the holder's unlock hands the lock to the next ticket, so the holder's own
// next lock() queues behind everyone who was already waiting.
//
// Contract:
// - Fairness: FIFO by arrival (the order in which lock() calls draw their tickets). A waiter gets
//   the lock once every thread that came before it has released it: with one holder that loops,
//   by the holder's next unlock().
// - Not recursive: lock() by the thread that holds it waits forever.
// - unlock() only by the thread that holds it, once per lock() or successful try_lock().
// - try_lock() never waits and never takes a ticket: it succeeds only when nobody holds the lock
//   and nobody waits for it.
// - Destroy it only when no thread holds it or is still inside lock() or unlock().
// - Lockable (lock/try_lock/unlock), so std::lock_guard, std::unique_lock and std::scoped_lock
//   work with it. Neither copyable nor movable.
//
// A waiter first spins briefly, then sleeps on a futex (std::atomic::wait off Linux); unlock()
// makes a system call only when somebody waits. Tickets are 32-bit and compared for equality
// only, so they may wrap; fewer than 2^32 threads may wait.
// Under ThreadSanitizer the lock is also announced as a mutex, so reports name it and its
// holders, and lock-order and wrong-thread unlock checks apply.

#include <atomic>
#include <cassert>
#include <cstdint>

#if defined(__SANITIZE_THREAD__)
#define STEMORA_FAIR_LOCK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define STEMORA_FAIR_LOCK_TSAN 1
#endif
#endif

#if defined(STEMORA_FAIR_LOCK_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace stemora {

namespace fair_lock_detail {
// Futex calls, kept out of line (FairLock.cpp) so that this header pulls in no system headers;
// they run only on the slow path. The wait returns when `word` may no longer hold `expected`
// (spurious returns allowed).
void SleepWhile(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;
void WakeAll(std::atomic<std::uint32_t>& word) noexcept;
}  // namespace fair_lock_detail

class FairLock {
  public:
    FairLock() noexcept {
#if defined(STEMORA_FAIR_LOCK_TSAN)
        __tsan_mutex_create(this, 0);
#endif
    }
    ~FairLock() {
#if defined(STEMORA_FAIR_LOCK_TSAN)
        __tsan_mutex_destroy(this, 0);
#endif
    }
    FairLock(const FairLock&) = delete;
    FairLock& operator=(const FairLock&) = delete;

    void lock() noexcept {
#if defined(STEMORA_FAIR_LOCK_TSAN)
        __tsan_mutex_pre_lock(this, 0);
#endif
        const std::uint32_t ticket = next_.fetch_add(1, std::memory_order_seq_cst);
        waitFor(ticket);
#if defined(STEMORA_FAIR_LOCK_TSAN)
        __tsan_mutex_post_lock(this, 0, 0);
#endif
    }

    bool try_lock() noexcept {
#if defined(STEMORA_FAIR_LOCK_TSAN)
        __tsan_mutex_pre_lock(this, __tsan_mutex_try_lock);
#endif
        // Free means no ticket is out beyond the one being served. Acquire pairs with the last
        // unlock(); a stale value cannot succeed, since next_ never falls behind serving_.
        const std::uint32_t serving = serving_.load(std::memory_order_acquire);
        std::uint32_t expected = serving;
        const bool taken = next_.compare_exchange_strong(
            expected, serving + 1, std::memory_order_relaxed, std::memory_order_relaxed);
#if defined(STEMORA_FAIR_LOCK_TSAN)
        __tsan_mutex_post_lock(
            this,
            taken ? __tsan_mutex_try_lock : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed,
            0);
#endif
        return taken;
    }

    void unlock() noexcept {
#if defined(STEMORA_FAIR_LOCK_TSAN)
        __tsan_mutex_pre_unlock(this, 0);
#endif
        // While held, the holder's own ticket is out, so next_ is ahead of serving_.
        assert(next_.load(std::memory_order_relaxed) != serving_.load(std::memory_order_relaxed) &&
               "FairLock::unlock without lock");
        // Only the holder writes serving_. Sequentially consistent, as is the ticket draw in
        // lock(): either the waiter's draw comes first and is seen below, or this increment
        // comes first and the waiter sees it before it sleeps. Nobody is left asleep.
        const std::uint32_t served = serving_.fetch_add(1, std::memory_order_seq_cst) + 1;
        if (next_.load(std::memory_order_seq_cst) != served) {
            // Every waiter sleeps on serving_ for its own ticket; waking only one might wake
            // the wrong one.
            fair_lock_detail::WakeAll(serving_);
        }
#if defined(STEMORA_FAIR_LOCK_TSAN)
        __tsan_mutex_post_unlock(this, 0);
#endif
    }

    // How many threads wait behind the holder (0 when the lock is free). A snapshot that may be
    // stale at once; for diagnostics and tests, never for deciding who owns the lock.
    std::uint32_t Waiters() const noexcept {
        // serving_ first: next_ never falls behind it, so the difference cannot wrap below 0.
        const std::uint32_t serving = serving_.load(std::memory_order_acquire);
        const std::uint32_t out = next_.load(std::memory_order_relaxed) - serving;
        return out == 0 ? 0 : out - 1;
    }

  private:
    void waitFor(std::uint32_t ticket) noexcept {
        // A short spin covers a holder that is only copying a block or two; a whole capture pass
        // (a millisecond or more) is slept through instead of burning a shared core.
        for (int i = 0; i < kSpins; ++i) {
            if (serving_.load(std::memory_order_acquire) == ticket) {
                return;
            }
            cpuRelax();
        }
        for (;;) {
            const std::uint32_t serving = serving_.load(std::memory_order_seq_cst);
            if (serving == ticket) {
                return;
            }
            fair_lock_detail::SleepWhile(serving_, serving);
        }
    }

    static void cpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

    static constexpr int kSpins = 256;

    // Apart, so waiters drawing tickets do not slow down the holder's handover.
    alignas(64) std::atomic<std::uint32_t> next_{0};
    alignas(64) std::atomic<std::uint32_t> serving_{0};
};

}  // namespace stemora
