// workers.h -- the pool of native worker threads that morvex.utils.triples
// spreads its work over, and how many threads a call may use.
//
// One pool per process, made on first use and kept: its workers wait for
// work without the GIL and never touch the interpreter.  A thread that
// cannot be started means fewer workers (at worst none: the calling thread
// then does everything), never a failure.  A child made by fork() starts
// with an empty pool and makes its own workers when it needs them.
#pragma once

namespace mx {
namespace workers {

// The most threads one call uses; larger requests are cut to it.
constexpr int kMaxThreads = 256;

// The threads a call uses when not told: the CPUs this process may run on
// (its affinity mask), at most MORVEX_NUM_THREADS when that is set to a
// positive integer (any other value of it is ignored).  Between 1 and
// kMaxThreads.
int default_threads() noexcept;

// Runs task(ctx, i) once for every i in [0, tasks) and returns when all
// have finished.  The calling thread works too, with at most threads - 1
// workers of the pool; tasks are handed out in increasing order of i to
// whichever thread is free, so a task's effect must depend on i only.  When
// the pool is busy with another call's tasks, the calling thread does all
// of its own.  Tasks must not throw.
void run(int threads, int tasks, void (*task)(void *ctx, int i), void *ctx) noexcept;

// run() with a callable taking the task's index.
template <class F>
void run(int threads, int tasks, F &f) noexcept {
    run(threads, tasks, [](void *ctx, int i) { (*static_cast<F *>(ctx))(i); }, &f);
}

// For the tests: the workers started in this process so far, and a limit
// on the starts still allowed, past which a start fails as if the system
// had refused the thread; a negative limit lifts it (any number may start).
int started() noexcept;
void limit_starts(int allowed) noexcept;

}  // namespace workers
}  // namespace mx
