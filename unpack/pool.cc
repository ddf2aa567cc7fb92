#include "unpack/pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

/* Counts every byte for the progress line, then gathers it for the file, if any. */
struct member_sink {
    std::atomic<uint64_t> *progress;
    arc_buffered_sink *file; /* null to test only */
};

bool member_sink_take(void *context, const uint8_t *bytes, uint32_t length)
{
    member_sink *sink = static_cast<member_sink *>(context);
    sink->progress->fetch_add(length, std::memory_order_relaxed);
    return sink->file == nullptr || arc_buffered_sink_take(sink->file, bytes, length);
}

/* Closes the decoded file; a failed one is removed and leaves its slot. Returns the status. */
arc_status settle_file(unpack_job *job, unpack_file *file, const std::string &temp_name,
                       arc_status status, int *os_error)
{
    const int close_error = unpack_os_close_file(file, status == ARC_OK ? &job->details : nullptr);
    if (status == ARC_OK && close_error != 0) {
        status = ARC_ERR_WRITE;
        *os_error = close_error;
    }
    if (status == ARC_OK) {
        job->temp_name = temp_name;
        return status;
    }
    unpack_os_remove(job->dir, temp_name);
    unpack_os_withdraw_temp(job->slot);
    return status;
}

/* Room for a member's compressed bytes, kept from one member to the next. */
struct packed_buffer {
    uint8_t *bytes;
    size_t capacity;
};

/* The claim is checked against the volumes before memory is taken for it. */
arc_status read_packed(unpack_pool *pool, const unpack_job *job, packed_buffer *buffer)
{
    const arc_member *member = job->member;
    arc_piece pieces[ARC_MAX_VOLUMES];
    uint32_t piece_count = 0;
    const arc_status claim = arc_member_pieces(job->installer, member, pieces, &piece_count);
    if (claim != ARC_OK)
        return claim;
    const size_t size = std::max<size_t>(member->packed_size, 1);
    if (buffer->capacity < size) {
        std::free(buffer->bytes);
        buffer->bytes = static_cast<uint8_t *>(std::malloc(size));
        buffer->capacity = buffer->bytes != nullptr ? size : 0;
        if (buffer->bytes == nullptr)
            return ARC_ERR_NO_MEMORY;
    }
    std::lock_guard<std::mutex> guard(pool->read_lock);
    return arc_read_member_data(job->installer, member, buffer->bytes);
}

/* Whether the main thread, if it waits, has something to do now; under the lock. */
bool main_should_wake(const unpack_pool *pool)
{
    if (!pool->main_waiting)
        return false;
    return pool->outstanding == 0 || (pool->awaited != nullptr && pool->awaited->done &&
                                      pool->queue.size() <= pool->low_water);
}

unpack_job *take_job(unpack_pool *pool)
{
    unpack_job *job = nullptr;
    bool wake = false;
    {
        std::unique_lock<std::mutex> guard(pool->lock);
        ++pool->idle;
        pool->job_waiting.wait(guard, [pool] { return pool->stopping || !pool->queue.empty(); });
        --pool->idle;
        if (pool->queue.empty())
            return nullptr;
        job = pool->queue.front();
        pool->queue.pop_front();
        wake = main_should_wake(pool);
    }
    if (wake)
        pool->main_wakeup.notify_one();
    return job;
}

void complete(unpack_pool *pool, unpack_job *job, arc_status status, int os_error)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(pool->lock);
        job->status = status;
        job->os_error = status == ARC_ERR_WRITE ? os_error : 0;
        job->done = true;
        --pool->outstanding;
        wake = main_should_wake(pool);
    }
    if (wake)
        pool->main_wakeup.notify_one();
}

void run_job(unpack_pool *pool, unpack_job *job, packed_buffer *packed, uint8_t *write_buffer)
{
    int os_error = 0;
    job->temp_name.clear();
    arc_status status = read_packed(pool, job, packed);
    unpack_file *file = nullptr;
    std::string temp_name;
    if (status == ARC_OK && job->dir != nullptr) {
        os_error = unpack_os_create_temp(job->slot, job->dir, &temp_name, &file);
        status = os_error == 0 ? ARC_OK : ARC_ERR_WRITE;
    }
    if (status == ARC_OK) {
        /* Bytes past the recorded size are counted, and fail the size check, but never written. */
        unpack_file_output output = {file, 0};
        arc_buffered_sink gathered = {write_buffer,
                                      UNPACK_WRITE_PIECE_SIZE,
                                      0,
                                      job->member->unpacked_size,
                                      unpack_file_output_take,
                                      &output};
        member_sink sink = {&pool->bytes_out, file != nullptr ? &gathered : nullptr};
        status = arc_decode_member(packed->bytes, job->member, member_sink_take, &sink);
        if (status == ARC_OK && file != nullptr && !arc_buffered_sink_flush(&gathered))
            status = ARC_ERR_WRITE;
        os_error = output.error;
    }
    if (file != nullptr)
        status = settle_file(job, file, temp_name, status, &os_error);
    complete(pool, job, status, os_error);
}

void work(void *argument)
{
    unpack_pool *pool = static_cast<unpack_worker *>(argument)->pool;
    uint8_t *write_buffer = static_cast<unpack_worker *>(argument)->write_buffer;
    packed_buffer packed = {nullptr, 0};
    while (unpack_job *job = take_job(pool))
        run_job(pool, job, &packed, write_buffer);
    std::free(packed.bytes);
}

} // namespace

bool unpack_pool_start(unpack_pool *pool, unsigned threads)
{
    /* Filled before any starts: a running worker holds its record's address. */
    pool->workers.assign(threads, unpack_worker{pool, nullptr, nullptr});
    unpack_os_block_interrupts(true);
    bool started = true;
    for (unpack_worker &worker : pool->workers) {
        worker.write_buffer = static_cast<uint8_t *>(std::malloc(UNPACK_WRITE_PIECE_SIZE));
        started = worker.write_buffer != nullptr &&
                  unpack_os_start_thread(work, &worker, &worker.thread) == 0;
        if (!started)
            break;
    }
    unpack_os_block_interrupts(false);
    if (!started)
        unpack_pool_stop(pool);
    return started;
}

void unpack_pool_submit(unpack_pool *pool, unpack_job *job)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(pool->lock);
        job->done = false;
        pool->queue.push_back(job);
        ++pool->outstanding;
        wake = pool->idle > 0;
    }
    if (wake)
        pool->job_waiting.notify_one();
}

bool unpack_pool_done(unpack_pool *pool, const unpack_job *job)
{
    std::lock_guard<std::mutex> guard(pool->lock);
    return job->done;
}

void unpack_pool_wait(unpack_pool *pool, const unpack_job *oldest, size_t low_water,
                      std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(pool->lock);
    pool->awaited = oldest;
    pool->low_water = low_water;
    pool->main_waiting = true;
    pool->main_wakeup.wait_for(guard, timeout, [pool] { return main_should_wake(pool); });
    pool->main_waiting = false;
}

void unpack_pool_drain(unpack_pool *pool)
{
    std::unique_lock<std::mutex> guard(pool->lock);
    while (pool->outstanding != 0) {
        pool->awaited = nullptr;
        pool->main_waiting = true;
        pool->main_wakeup.wait(guard);
        pool->main_waiting = false;
    }
}

void unpack_pool_stop(unpack_pool *pool)
{
    {
        std::lock_guard<std::mutex> guard(pool->lock);
        pool->stopping = true;
    }
    pool->job_waiting.notify_all();
    for (unpack_worker &worker : pool->workers) {
        if (worker.thread != nullptr)
            unpack_os_join_thread(worker.thread);
        std::free(worker.write_buffer);
    }
    pool->workers.clear();
}
