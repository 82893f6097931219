// workers.cpp -- the pool of worker threads (see workers.h).
//
// Plain pthreads rather than std::thread: the workers are detached and live
// as long as the process, and a child made by fork() must be able to forget
// the ones that exist only in its parent, which an std::thread object (it
// terminates the process when destroyed while joinable) does not allow.
#include "workers.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

namespace mx {
namespace workers {
namespace {

// One call's tasks.  It lives on the stack of the call's thread, which
// leaves run() only once every worker that joined has left.
struct Job {
    void (*task)(void *, int);
    void *ctx;
    int tasks;
    int helpers;             // workers that may still join; under the lock
    std::atomic<int> next;   // the next task to hand out
};

// All of it under `lock`.  Constant-initialised and trivially destructible:
// the workers may still be waiting on it while the process exits.
struct Pool {
    pthread_mutex_t lock;
    pthread_cond_t posted;   // workers wait here for a job
    pthread_cond_t left;     // the poster waits here for its helpers to leave
    unsigned long generation;  // counts the jobs posted
    Job *job;                // the job posted, null when none
    int active;              // workers inside `job`
    int workers;             // workers started in this process
    int allowed;             // starts still allowed (tests); negative: no limit
};

Pool pool = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, nullptr, 0, 0, -1};

void work(Job &job) noexcept {
    for (int i; (i = job.next.fetch_add(1, std::memory_order_relaxed)) < job.tasks;)
        job.task(job.ctx, i);
}

// A worker: waits for a job posted after the generation it was started in,
// joins it while it still takes helpers, waits again.
void *worker_main(void *arg) {
    unsigned long seen = static_cast<unsigned long>(reinterpret_cast<uintptr_t>(arg));
    pthread_mutex_lock(&pool.lock);
    for (;;) {
        while (pool.generation == seen)
            pthread_cond_wait(&pool.posted, &pool.lock);
        seen = pool.generation;
        Job *const job = pool.job;
        if (job == nullptr || job->helpers == 0)
            continue;
        --job->helpers;
        ++pool.active;
        pthread_mutex_unlock(&pool.lock);
        work(*job);
        pthread_mutex_lock(&pool.lock);
        if (--pool.active == 0)
            pthread_cond_signal(&pool.left);
    }
    return nullptr;
}

// Starts one worker; false when the system refuses.  Under the lock.
bool start_worker() noexcept {
    if (pool.allowed == 0)
        return false;
    // Signals go to the interpreter's threads, never to a worker: the new
    // thread inherits a mask that blocks them all.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t id;
        rc = pthread_create(&id, &attr, worker_main, reinterpret_cast<void *>(uintptr_t{pool.generation}));
        pthread_attr_destroy(&attr);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0)
        return false;
    ++pool.workers;
    if (pool.allowed > 0)
        --pool.allowed;
    return true;
}

// fork() copies only the thread that calls it.  The lock is held across the
// fork, so the child's copy of the pool is not half-changed; the child then
// forgets the parent's workers and any job in flight (its thread is not in
// the child either) and starts from an empty pool.
void before_fork() { pthread_mutex_lock(&pool.lock); }
void after_fork_parent() { pthread_mutex_unlock(&pool.lock); }
void after_fork_child() {
    pthread_mutex_init(&pool.lock, nullptr);
    pthread_cond_init(&pool.posted, nullptr);
    pthread_cond_init(&pool.left, nullptr);
    pool.generation = 0;
    pool.job = nullptr;
    pool.active = 0;
    pool.workers = 0;
}

pthread_once_t fork_handlers_once = PTHREAD_ONCE_INIT;
void install_fork_handlers() { pthread_atfork(before_fork, after_fork_parent, after_fork_child); }

int parse_limit(const char *text) {
    if (text == nullptr || *text == '\0')
        return -1;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 1)
        return -1;
    return static_cast<int>(std::min<long>(v, INT_MAX));
}

}  // namespace

int default_threads() noexcept {
    int cpus = 0;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        cpus = CPU_COUNT(&set);
    if (cpus < 1) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        cpus = online > 0 ? static_cast<int>(std::min<long>(online, kMaxThreads)) : 1;
    }
    const int cap = parse_limit(std::getenv("MORVEX_NUM_THREADS"));
    if (cap > 0)
        cpus = std::min(cpus, cap);
    return std::max(1, std::min(cpus, kMaxThreads));
}

void run(int threads, int tasks, void (*task)(void *, int), void *ctx) noexcept {
    Job job;
    job.task = task;
    job.ctx = ctx;
    job.tasks = tasks;
    job.helpers = std::min(std::min(threads, kMaxThreads), tasks) - 1;
    job.next.store(0, std::memory_order_relaxed);
    if (job.helpers <= 0) {
        work(job);
        return;
    }
    pthread_once(&fork_handlers_once, install_fork_handlers);
    pthread_mutex_lock(&pool.lock);
    if (pool.job != nullptr) {
        // another call's job is running: this one works alone rather than wait
        pthread_mutex_unlock(&pool.lock);
        work(job);
        return;
    }
    while (pool.workers < job.helpers && start_worker()) {
    }
    job.helpers = std::min(job.helpers, pool.workers);
    pool.job = &job;
    ++pool.generation;
    pthread_cond_broadcast(&pool.posted);
    pthread_mutex_unlock(&pool.lock);

    work(job);

    pthread_mutex_lock(&pool.lock);
    job.helpers = 0;  // every task is handed out: no worker joins any more
    while (pool.active > 0)
        pthread_cond_wait(&pool.left, &pool.lock);
    pool.job = nullptr;
    pthread_mutex_unlock(&pool.lock);
}


int started() noexcept {
    pthread_mutex_lock(&pool.lock);
    const int n = pool.workers;
    pthread_mutex_unlock(&pool.lock);
    return n;
}

void limit_starts(int allowed) noexcept {
    pthread_mutex_lock(&pool.lock);
    pool.allowed = allowed < 0 ? -1 : allowed;
    pthread_mutex_unlock(&pool.lock);
}

}  // namespace workers
}  // namespace mx
