/*
 * pool.h - worker threads that decode members.
 *
 * The main thread reads each member's compressed bytes (the archive's
 * streams belong to it), creates the temporary file and hands both over as a
 * job; a worker decodes into the file through a fixed buffer, releases the
 * compressed bytes as soon as the decoder is done with them, then gives the
 * file its time and permissions and closes it. The main thread sees the jobs
 * finish, in any order, and deals with them in directory order.
 */
#ifndef VARLIX_UNPACK_POOL_H
#define VARLIX_UNPACK_POOL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "unpack/unpack_os.h"

struct unpack_job {
    const arc_member *member;
    uint8_t *packed;   /* malloc()ed compressed bytes, freed by the worker */
    unpack_file *file; /* the temporary file, closed by the worker; null to test only */
    unpack_file_details details;

    /* Set by the worker; read once done is set, under the pool's lock. */
    arc_status status;
    int os_error; /* with ARC_ERR_WRITE: the system's error, when one was reported */
    bool done;
};

struct unpack_pool {
    std::mutex lock;
    std::condition_variable job_waiting; /* a job was queued, or stopping was set */
    std::condition_variable job_done;    /* a job finished or gave back its compressed bytes */
    std::deque<unpack_job *> queue;
    std::vector<std::thread> threads;
    bool stopping = false;
    unsigned packed_held = 0;           /* jobs whose compressed bytes are still in memory */
    std::atomic<uint64_t> bytes_out{0}; /* decoded by every job so far, for progress */
};

/*
 * unpack_pool_start() - start @threads workers. The interrupt signals are
 * blocked in them. Returns false when a thread could not be started (those
 * that were are stopped again).
 */
bool unpack_pool_start(unpack_pool *pool, unsigned threads);

/*
 * unpack_pool_submit() - queue @job, whose compressed bytes were counted in
 * packed_held by the caller (under the lock) when it allocated them.
 */
void unpack_pool_submit(unpack_pool *pool, unpack_job *job);

/* unpack_pool_stop() - let the workers finish the queued jobs, then join them. */
void unpack_pool_stop(unpack_pool *pool);

#endif
