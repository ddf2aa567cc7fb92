/*
 * pool.h - worker threads that read, decode and write members.
 *
 * The main thread prepares each member in directory order (its path, its
 * folder, what is there already) and queues it as a job. A worker takes the
 * next job, checks where the member's compressed bytes lie before taking
 * memory for them, reads them into a buffer of its own (one worker at a
 * time: the archive's streams are shared), creates a temporary file in the
 * member's folder, decodes into it through a fixed buffer (never writing
 * past the recorded size), gives the file its time and permissions and
 * closes it; when anything failed it removes the file. The main thread
 * renames each finished file to its member's name in directory order. So no
 * more than one member's compressed bytes per worker are ever in memory, and
 * a member is handed over once, not twice.
 *
 * Members of a few KiB take less time to decode than a thread takes to
 * wake, so the threads wake each other only when there is something to do:
 * a worker when a job is queued while it waits, the main thread when the
 * queue runs low and the oldest job is done (or all are), so that it tells
 * outcomes and queues more several at a time.
 */
#ifndef VARLIX_UNPACK_POOL_H
#define VARLIX_UNPACK_POOL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "unpack/unpack_os.h"

struct unpack_job {
    const arc_installer *installer;
    const arc_member *member;

    /* Where the file goes; a null dir to test only. */
    unpack_dir *dir;
    unsigned slot; /* the temporary file's slot in the interrupt clean-up table */
    unpack_file_details details;

    /* Set by the worker; read once done is set, under the pool's lock. */
    arc_status status;
    int os_error; /* with ARC_ERR_WRITE: the system's error, or UNPACK_OS_ERR_*, when known */
    std::string temp_name; /* with ARC_OK in a dir: the finished file, still in its slot */
    bool done;
};

struct unpack_pool;

/* One worker thread and what it owns. */
struct unpack_worker {
    unpack_pool *pool;
    uint8_t *write_buffer;
    unpack_thread *thread; /* null until started */
};

struct unpack_pool {
    std::mutex read_lock; /* held while a worker reads from an installer's streams */

    std::mutex lock;                     /* guards what follows, and every job's outcome */
    std::condition_variable job_waiting; /* for the workers: a job was queued, or stopping */
    std::condition_variable main_wakeup; /* for the main thread: see unpack_pool_wait() */
    std::deque<unpack_job *> queue;
    std::vector<unpack_worker> workers;
    bool stopping = false;
    unsigned idle = 0;        /* workers waiting for a job */
    unsigned outstanding = 0; /* jobs queued or being worked on */
    bool main_waiting = false;
    const unpack_job *awaited = nullptr; /* the oldest job the main thread has not told */
    size_t low_water = 0;

    std::atomic<uint64_t> bytes_out{0}; /* decoded by every job so far, for progress */
};

/*
 * unpack_pool_start() - start @threads workers. The interrupt signals are
 * blocked in them. Returns false when a thread could not be started (those
 * that were are stopped again).
 */
bool unpack_pool_start(unpack_pool *pool, unsigned threads);

/* unpack_pool_submit() - queue @job. */
void unpack_pool_submit(unpack_pool *pool, unpack_job *job);

/* unpack_pool_done() - whether @job is done, its outcome set. */
bool unpack_pool_done(unpack_pool *pool, const unpack_job *job);

/*
 * unpack_pool_wait() - sleep until @oldest is done and at most @low_water
 * jobs are left in the queue, or until no job is outstanding, or until
 * @timeout has passed.
 */
void unpack_pool_wait(unpack_pool *pool, const unpack_job *oldest, size_t low_water,
                      std::chrono::milliseconds timeout);

/* unpack_pool_drain() - sleep until no job is outstanding. */
void unpack_pool_drain(unpack_pool *pool);

/* unpack_pool_stop() - let the workers finish the queued jobs and join them. */
void unpack_pool_stop(unpack_pool *pool);

#endif
