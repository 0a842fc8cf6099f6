// A fork-join team for the flow right-hand side: the calling thread and a few
// helper threads, started once for the run, share out the tasks (blocks of
// cells) of one evaluation. Tasks are taken one at a time, the caller's from
// the front and the helpers' from the back, so that neighbouring tasks of
// different threads meet in one place only (they share memory at their edges).
// A helper that the system has not scheduled simply takes no task and the
// caller does the rest; the caller waits only for tasks already taken. Idle
// helpers spin a while, then sleep until the next evaluation. When the
// helpers show that they do not get a processor of their own (twice in a row
// they take too few tasks, or the caller has to sleep waiting for one), the
// next evaluations run on the caller alone for a while.
//
// Nothing is allocated after the helpers have started, and the tasks must
// write disjoint data: then the results do not depend on how many threads
// there are or on which thread ran which task.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cfenv>
#include <cstdint>

namespace quarno {

constexpr int kMaxThreads = 16;  // threads of a team, the caller included

class Team {
 public:
  using Task = void (*)(void* context, int task);

  // Starts threads - 1 helpers (none for threads <= 1). A helper that cannot
  // be started is left out. Helpers take the floating-point environment of
  // the constructing thread and block every signal.
  explicit Team(int threads);
  // Stops and joins the helpers.
  ~Team();
  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;

  // Threads of the team, the caller included.
  int size() const { return 1 + helpers_; }

  // Runs task(context, t) for t = 0 .. tasks-1 (at most 65535) on the calling
  // thread and the helpers; returns when every task has finished. Called by
  // one thread only. A judged run (an evaluation) counts toward the decision
  // to go on alone for a while; an unjudged one (a short loop between them)
  // only follows it.
  void run(int tasks, Task task, void* context, bool judged = true);

 private:
  static void* helper_main(void* self);
  void help();
  // Takes and runs tasks of generation `gen`, from the front or the back,
  // until none is left; returns how many it ran.
  int take_tasks(std::uint32_t gen, bool front);

  // generation << 32 | back << 16 | front: the tasks front .. back-1 are
  // still to be taken. One word, so that a helper late for one evaluation
  // can never take a task of the next.
  alignas(64) std::atomic<std::uint64_t> work_{0};
  alignas(64) std::atomic<std::uint32_t> done_{0};  // tasks finished; the caller sleeps on it
  std::atomic<std::uint32_t> caller_asleep_{0};
  alignas(64) std::atomic<std::uint32_t> generation_{0};  // idle helpers sleep on it
  std::atomic<std::uint32_t> sleepers_{0};
  std::atomic<bool> stop_{false};
  // The evaluation's tasks: written before its generation is published.
  Task task_ = nullptr;
  void* context_ = nullptr;
  std::uint32_t tasks_ = 0;

  std::uint32_t gen_ = 0;      // the caller's latest generation
  std::uint32_t alone_ = 0;    // evaluations still to run on the caller alone
  std::uint32_t backoff_ = 0;  // the next such run of evaluations
  std::uint32_t bad_ = 0;      // evaluations in a row that the helpers did not share
  std::uint32_t good_ = 0;     // evaluations in a row that they shared

  std::fenv_t fenv_{};
  int helpers_ = 0;
  pthread_t threads_[kMaxThreads] = {};
};

}  // namespace quarno
