/*
 * pool.h - worker threads that decode members into their files.
 *
 * The main thread reads each member's compressed bytes (the archive's
 * streams belong to it) and hands them over as a job, with the folder the
 * file goes to. A worker creates a temporary file there, decodes into it
 * through a fixed buffer, gives the compressed bytes back as soon as the
 * decoder is done with them, gives the file its time and permissions, closes
 * it and, when everything succeeded, renames it to the member's name; else
 * it removes it. The main thread sees the jobs finish, in any order, and
 * tells their outcomes in directory order.
 */
#ifndef VARLIX_UNPACK_POOL_H
#define VARLIX_UNPACK_POOL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "unpack/unpack_os.h"

/* Room for a member's compressed bytes; kept, once decoded, for a later member. */
struct unpack_buffer {
    uint8_t *bytes;
    size_t capacity;
};

struct unpack_job {
    const arc_member *member;
    unpack_buffer packed; /* the compressed bytes; given back by the worker once decoded */

    /* Where the file goes; a null dir to test only. */
    unpack_dir *dir;
    const std::string *name; /* the member's file name in dir */
    unsigned slot;           /* the temporary file's slot in the interrupt clean-up table */
    bool replace;            /* an existing file may be replaced */
    unpack_file_details details;

    /* Set by the worker; read once done is set, under the pool's lock. */
    arc_status status;
    int os_error; /* with ARC_ERR_WRITE: the system's error, or UNPACK_OS_ERR_*, when known */
    bool done;
};

struct unpack_pool {
    std::mutex lock;
    std::condition_variable job_waiting; /* a job was queued, or stopping was set */
    std::condition_variable job_done;    /* a job finished */
    std::deque<unpack_job *> queue;
    std::vector<std::thread> threads;
    bool stopping = false;
    unsigned packed_held = 0;           /* buffers holding a member's bytes, or about to */
    std::vector<unpack_buffer> spare;   /* buffers given back */
    std::atomic<uint64_t> bytes_out{0}; /* decoded by every job so far, for progress */
};

/*
 * unpack_pool_start() - start @threads workers. The interrupt signals are
 * blocked in them. Returns false when a thread could not be started (those
 * that were are stopped again).
 */
bool unpack_pool_start(unpack_pool *pool, unsigned threads);

/*
 * unpack_pool_hold() - count one more buffer held, when fewer than @limit
 * are; returns whether it did. unpack_pool_release() takes the count back.
 */
bool unpack_pool_hold(unpack_pool *pool, unsigned limit);
void unpack_pool_release(unpack_pool *pool);

/*
 * unpack_pool_buffer() - a buffer of at least @size bytes (1 at least), a
 * spare one when there is one; call with a hold counted. Returns false when
 * memory ran out.
 */
bool unpack_pool_buffer(unpack_pool *pool, size_t size, unpack_buffer *buffer);

/* unpack_pool_give_back() - keep @buffer as a spare and take its hold back. */
void unpack_pool_give_back(unpack_pool *pool, unpack_buffer buffer);

/* unpack_pool_submit() - queue @job, whose buffer is held. */
void unpack_pool_submit(unpack_pool *pool, unpack_job *job);

/*
 * unpack_pool_stop() - let the workers finish the queued jobs, join them and
 * free the spare buffers.
 */
void unpack_pool_stop(unpack_pool *pool);

#endif
