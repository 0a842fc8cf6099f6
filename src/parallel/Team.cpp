#include "parallel/Team.hpp"

#include <signal.h>

#include <climits>
#include <ctime>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#else
#include <sched.h>
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace quarno {

namespace {

// Spins before sleeping, timed by the monotonic clock (a pause instruction
// lasts from a few to some 40 ns, depending on the processor). An idle helper
// stays awake 2 ms, longer than the serial work between the evaluations of
// an outer step on long reaches (the transport and the balances), so that
// the helpers need no waking within a run on an idle machine: waking one
// costs the caller a system call and the helper tens of microseconds. The
// caller waits 50 microseconds for a task already taken, which takes a few
// microseconds unless the system has taken the helper's processor away.
constexpr std::int64_t kIdleSpinNs = 2000000;
constexpr std::int64_t kCallerSpinNs = 50000;
// Pause instructions between two readings of the clock.
constexpr int kPausesPerReading = 32;
// The helpers show that they do not get a processor of their own when two
// evaluations in a row went wrong: the caller had to sleep waiting for a task
// a helper had taken, or the helpers took less than half their share.
// Once alone happens on an idle machine too: after a long pause the helpers
// may be asleep and late, and the system takes a helper's processor away for
// a moment now and then. Then the next evaluations run on the caller alone
// while the helpers sleep: kMinBackoff of them, twice as many each further
// time, at most kMaxBackoff. Every kGoodRun evaluations in a row that the
// helpers shared halve that number again.
constexpr std::uint32_t kMinBackoff = 16;
constexpr std::uint32_t kMaxBackoff = 4096;
constexpr std::uint32_t kGoodRun = 64;

constexpr std::uint64_t kField = 0xffff;
constexpr std::uint64_t kBackOne = std::uint64_t{1} << 16;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

std::int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Spins until done() holds or `limit` nanoseconds have passed; returns done().
template <class Done>
bool spin_until(Done&& done, std::int64_t limit) {
  if (done()) return true;
  const std::int64_t end = monotonic_ns() + limit;
  for (;;) {
    for (int k = 0; k < kPausesPerReading; ++k) {
      cpu_relax();
      if (done()) return true;
    }
    if (monotonic_ns() >= end) return done();
  }
}

// Sleeps while word == expected (or until woken); may return early.
void sleep_on(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
#if defined(__linux__)
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
          nullptr, nullptr, 0);
#else
  (void)word;
  (void)expected;
  sched_yield();
#endif
}

void wake(std::atomic<std::uint32_t>& word, int count) {
#if defined(__linux__)
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr,
          nullptr, 0);
#else
  (void)word;
  (void)count;
#endif
}

}  // namespace

Team::Team(int threads) : backoff_(kMinBackoff) {
  std::fegetenv(&fenv_);
  if (threads > kMaxThreads) threads = kMaxThreads;
  // Signals stay with the main thread: the helpers start with all blocked.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  for (int k = 0; k < threads - 1; ++k) {
    if (pthread_create(&threads_[helpers_], nullptr, &Team::helper_main, this) != 0) break;
    ++helpers_;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

Team::~Team() {
  stop_.store(true, std::memory_order_seq_cst);
  generation_.fetch_add(1, std::memory_order_seq_cst);
  wake(generation_, INT_MAX);
  for (int k = 0; k < helpers_; ++k) pthread_join(threads_[k], nullptr);
}

void* Team::helper_main(void* self) {
  static_cast<Team*>(self)->help();
  return nullptr;
}

void Team::help() {
  std::fesetenv(&fenv_);
  std::uint32_t seen = 0;
  for (;;) {
    std::uint32_t gen = seen;
    spin_until(
        [&] {
          gen = generation_.load(std::memory_order_acquire);
          return gen != seen;
        },
        kIdleSpinNs);
    while (gen == seen) {
      sleepers_.fetch_add(1, std::memory_order_seq_cst);
      if (generation_.load(std::memory_order_seq_cst) == seen) sleep_on(generation_, seen);
      sleepers_.fetch_sub(1, std::memory_order_seq_cst);
      gen = generation_.load(std::memory_order_acquire);
    }
    if (stop_.load(std::memory_order_acquire)) return;
    seen = gen;
    take_tasks(gen, false);
  }
}

int Team::take_tasks(std::uint32_t gen, bool front) {
  int taken = 0;
  std::uint64_t w = work_.load(std::memory_order_acquire);
  for (;;) {
    if (static_cast<std::uint32_t>(w >> 32) != gen) return taken;  // a later evaluation
    const std::uint64_t first = w & kField;
    const std::uint64_t end = (w >> 16) & kField;
    if (first >= end) return taken;
    const std::uint64_t claimed = front ? w + 1 : w - kBackOne;
    if (!work_.compare_exchange_weak(w, claimed, std::memory_order_acq_rel,
                                     std::memory_order_acquire))
      continue;
    // The successful exchange orders this thread after the caller's writes
    // of task_, context_ and tasks_ for this generation, which stay until
    // the last task is done.
    const std::uint32_t all = tasks_;
    task_(context_, static_cast<int>(front ? first : end - 1));
    ++taken;
    const std::uint32_t finished = done_.fetch_add(1, std::memory_order_seq_cst) + 1;
    if (!front && finished == all && caller_asleep_.load(std::memory_order_seq_cst) != 0)
      wake(done_, 1);
    w = work_.load(std::memory_order_acquire);
  }
}

void Team::run(int tasks, Task task, void* context, bool judged) {
  if (tasks <= 0) return;
  if (helpers_ == 0 || alone_ > 0) {
    if (alone_ > 0 && judged) --alone_;
    for (int t = 0; t < tasks; ++t) task(context, t);
    return;
  }
  task_ = task;
  context_ = context;
  tasks_ = static_cast<std::uint32_t>(tasks);
  done_.store(0, std::memory_order_relaxed);
  const std::uint32_t gen = ++gen_;
  work_.store(static_cast<std::uint64_t>(gen) << 32 | static_cast<std::uint64_t>(tasks) << 16,
              std::memory_order_release);
  generation_.store(gen, std::memory_order_seq_cst);
  const bool awake = sleepers_.load(std::memory_order_seq_cst) == 0;
  if (!awake) wake(generation_, INT_MAX);

  const int own = take_tasks(gen, true);

  std::uint32_t finished = 0;
  spin_until(
      [&] {
        finished = done_.load(std::memory_order_acquire);
        return finished == tasks_;
      },
      kCallerSpinNs);
  bool slept = false;
  while (finished != tasks_) {
    caller_asleep_.store(1, std::memory_order_seq_cst);
    finished = done_.load(std::memory_order_seq_cst);
    if (finished != tasks_) {
      sleep_on(done_, finished);
      slept = true;
    }
    caller_asleep_.store(0, std::memory_order_relaxed);
    finished = done_.load(std::memory_order_acquire);
  }

  if (!judged) return;
  // The helpers' share is helpers/(helpers + 1) of the tasks.
  const bool shared = 2 * (tasks - own) * (helpers_ + 1) >= tasks * helpers_;
  if (shared && !slept) {
    bad_ = 0;
    if (++good_ == kGoodRun) {
      good_ = 0;
      backoff_ = backoff_ / 2 < kMinBackoff ? kMinBackoff : backoff_ / 2;
    }
  } else if (++bad_ == 2) {
    bad_ = 0;
    good_ = 0;
    alone_ = backoff_;
    backoff_ = 2 * backoff_ > kMaxBackoff ? kMaxBackoff : 2 * backoff_;
  }
}

}  // namespace quarno
