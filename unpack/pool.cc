#include "unpack/pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace {

/* Writes leave in pieces of this size rather than the decoder's 4 KiB blocks. */
const size_t WRITE_BUFFER_SIZE = size_t{1} << 18;

struct file_sink {
    unpack_file *file;
    uint8_t *buffer;
    size_t used;
    int error;
    std::atomic<uint64_t> *progress;
};

bool flush(file_sink *sink)
{
    if (sink->used == 0)
        return true;
    sink->error = unpack_os_write(sink->file, sink->buffer, sink->used);
    sink->used = 0;
    return sink->error == 0;
}

bool file_sink_take(void *context, const uint8_t *bytes, uint32_t length)
{
    file_sink *sink = static_cast<file_sink *>(context);
    sink->progress->fetch_add(length, std::memory_order_relaxed);
    if (sink->file == nullptr)
        return true;
    if (sink->used + length > WRITE_BUFFER_SIZE && !flush(sink))
        return false;
    std::memcpy(sink->buffer + sink->used, bytes, length);
    sink->used += length;
    return true;
}

/* Closes the decoded file and renames it into place, or removes it; returns the status. */
arc_status settle_file(unpack_job *job, unpack_file *file, const std::string &temp_name,
                       arc_status status, int *os_error)
{
    const int close_error = unpack_os_close_file(file, status == ARC_OK ? &job->details : nullptr);
    if (status == ARC_OK && close_error != 0) {
        status = ARC_ERR_WRITE;
        *os_error = close_error;
    }
    if (status == ARC_OK) {
        *os_error = unpack_os_rename(job->dir, temp_name, *job->name, job->replace);
        status = *os_error == 0 ? ARC_OK : ARC_ERR_WRITE;
    }
    if (status != ARC_OK)
        unpack_os_remove(job->dir, temp_name);
    unpack_os_withdraw_temp(job->slot);
    return status;
}

void run_job(unpack_pool *pool, unpack_job *job, uint8_t *buffer)
{
    unpack_file *file = nullptr;
    std::string temp_name;
    int os_error = 0;
    arc_status status = ARC_OK;
    if (job->dir != nullptr) {
        os_error = unpack_os_create_temp(job->slot, job->dir, &temp_name, &file);
        status = os_error == 0 ? ARC_OK : ARC_ERR_WRITE;
    }
    if (status == ARC_OK) {
        file_sink sink = {file, buffer, 0, 0, &pool->bytes_out};
        status = arc_decode_member(job->packed.bytes, job->member, file_sink_take, &sink);
        if (status == ARC_OK && file != nullptr && !flush(&sink))
            status = ARC_ERR_WRITE;
        os_error = sink.error;
    }
    /* The main thread may read the next member while this file is settled. */
    unpack_pool_give_back(pool, job->packed);
    job->packed = unpack_buffer{nullptr, 0};
    if (file != nullptr)
        status = settle_file(job, file, temp_name, status, &os_error);
    {
        std::lock_guard<std::mutex> guard(pool->lock);
        job->status = status;
        job->os_error = status == ARC_ERR_WRITE ? os_error : 0;
        job->done = true;
    }
    pool->job_done.notify_all();
}

/* @buffer is this worker's own, freed when the pool stops. */
void work(unpack_pool *pool, uint8_t *buffer)
{
    for (;;) {
        unpack_job *job = nullptr;
        {
            std::unique_lock<std::mutex> guard(pool->lock);
            pool->job_waiting.wait(guard,
                                   [pool] { return pool->stopping || !pool->queue.empty(); });
            if (pool->queue.empty())
                break;
            job = pool->queue.front();
            pool->queue.pop_front();
        }
        run_job(pool, job, buffer);
    }
    std::free(buffer);
}

} // namespace

bool unpack_pool_start(unpack_pool *pool, unsigned threads)
{
    unpack_os_block_interrupts(true);
    bool started = true;
    for (unsigned i = 0; i < threads && started; ++i) {
        uint8_t *buffer = static_cast<uint8_t *>(std::malloc(WRITE_BUFFER_SIZE));
        started = buffer != nullptr;
        try {
            if (started)
                pool->threads.emplace_back(work, pool, buffer);
        } catch (const std::system_error &) {
            /* std::thread reports a thread the system would not start only this way. */
            std::free(buffer);
            started = false;
        }
    }
    unpack_os_block_interrupts(false);
    if (!started)
        unpack_pool_stop(pool);
    return started;
}

bool unpack_pool_hold(unpack_pool *pool, unsigned limit)
{
    std::lock_guard<std::mutex> guard(pool->lock);
    if (pool->packed_held >= limit)
        return false;
    ++pool->packed_held;
    return true;
}

void unpack_pool_release(unpack_pool *pool)
{
    std::lock_guard<std::mutex> guard(pool->lock);
    --pool->packed_held;
}

bool unpack_pool_buffer(unpack_pool *pool, size_t size, unpack_buffer *buffer)
{
    *buffer = unpack_buffer{nullptr, 0};
    {
        std::lock_guard<std::mutex> guard(pool->lock);
        if (!pool->spare.empty()) {
            *buffer = pool->spare.back();
            pool->spare.pop_back();
        }
    }
    size = std::max<size_t>(size, 1);
    if (buffer->capacity >= size)
        return true;
    std::free(buffer->bytes);
    buffer->bytes = static_cast<uint8_t *>(std::malloc(size));
    buffer->capacity = buffer->bytes != nullptr ? size : 0;
    return buffer->bytes != nullptr;
}

void unpack_pool_give_back(unpack_pool *pool, unpack_buffer buffer)
{
    {
        std::lock_guard<std::mutex> guard(pool->lock);
        pool->spare.push_back(buffer);
        --pool->packed_held;
    }
    pool->job_done.notify_all();
}

void unpack_pool_submit(unpack_pool *pool, unpack_job *job)
{
    {
        std::lock_guard<std::mutex> guard(pool->lock);
        pool->queue.push_back(job);
    }
    pool->job_waiting.notify_one();
}

void unpack_pool_stop(unpack_pool *pool)
{
    {
        std::lock_guard<std::mutex> guard(pool->lock);
        pool->stopping = true;
    }
    pool->job_waiting.notify_all();
    for (std::thread &thread : pool->threads)
        thread.join();
    pool->threads.clear();
    for (const unpack_buffer &buffer : pool->spare)
        std::free(buffer.bytes);
    pool->spare.clear();
}
