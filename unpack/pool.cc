#include "unpack/pool.h"

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

void run_job(unpack_pool *pool, unpack_job *job, uint8_t *buffer)
{
    file_sink sink = {job->file, buffer, 0, 0, &pool->bytes_out};
    arc_status status = arc_decode_member(job->packed, job->member, file_sink_take, &sink);
    if (status == ARC_OK && job->file != nullptr && !flush(&sink))
        status = ARC_ERR_WRITE;
    std::free(job->packed);
    job->packed = nullptr;
    {
        std::lock_guard<std::mutex> guard(pool->lock);
        --pool->packed_held;
    }
    pool->job_done.notify_all();

    int os_error = sink.error;
    if (job->file != nullptr) {
        const int close_error =
            unpack_os_close_file(job->file, status == ARC_OK ? &job->details : nullptr);
        job->file = nullptr;
        if (status == ARC_OK && close_error != 0) {
            status = ARC_ERR_WRITE;
            os_error = close_error;
        }
    }
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
}
