// A thread kept for jobs handed to it one at a time. Starting a thread costs
// far more than handing a job to one that waits: a reader that fills its next
// batch in the background starts one once, not per batch.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <unistd.h>

namespace vesk {

class WorkerThread {
public:
    WorkerThread() = default;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    ~WorkerThread() { stop(); }

    // Runs `job` on the thread, started first if need be; false when no
    // thread can be had. Only when idle (see wait_for).
    bool run(std::function<void()> job)
    {
        if (thread_ && owner_ != ::getpid()) {
            abandon();
        }
        if (!thread_) {
            try {
                auto channel = std::make_unique<Channel>();
                thread_ = std::make_unique<std::thread>(serve, channel.get());
                channel_ = std::move(channel);
                owner_ = ::getpid();
            } catch (const std::exception&) {
                return false;
            }
        }
        {
            std::lock_guard hold(channel_->mutex);
            channel_->job = std::move(job);
            channel_->busy = true;
        }
        channel_->changed.notify_all();
        return true;
    }

    // Waits up to `timeout` for the job in hand to end; true once none is. In
    // a forked child a job that was running at the fork never ends: its
    // thread is not there to finish it.
    bool wait_for(std::chrono::milliseconds timeout)
    {
        if (!thread_) {
            return true;
        }
        if (owner_ != ::getpid()) {
            // As it was at the fork: no thread here changes it.
            if (channel_->busy) {
                std::this_thread::sleep_for(timeout);
            }
            return !channel_->busy;
        }
        std::unique_lock hold(channel_->mutex);
        return channel_->changed.wait_for(hold, timeout, [&] { return !channel_->busy; });
    }

    // Ends the thread once its job is done; the next run starts another.
    void stop()
    {
        if (!thread_) {
            return;
        }
        if (owner_ != ::getpid()) {
            abandon();
            return;
        }
        {
            std::lock_guard hold(channel_->mutex);
            channel_->stopping = true;
        }
        channel_->changed.notify_all();
        thread_->join();
        thread_.reset();
        channel_.reset();
    }

private:
    // What the owner and the thread share, kept apart from both so that a
    // forked child can let it go whole (see abandon).
    struct Channel {
        std::mutex mutex;
        std::condition_variable changed;
        std::function<void()> job;
        bool busy = false;
        bool stopping = false;
    };

    static void serve(Channel* channel)
    {
        std::unique_lock hold(channel->mutex);
        for (;;) {
            channel->changed.wait(hold, [&] { return channel->job || channel->stopping; });
            if (!channel->job) {
                return;
            }
            std::function<void()> job = std::exchange(channel->job, nullptr);
            hold.unlock();
            job();  // catches what it throws itself
            job = nullptr;
            hold.lock();
            channel->busy = false;
            channel->changed.notify_all();
        }
    }

    // In a child forked without waiting for it (the readers' fork hooks wait),
    // the thread does not exist and its mutex may be held for ever: its handle and
    // channel are let go, never joined or locked.
    void abandon()
    {
        static_cast<void>(thread_.release());
        static_cast<void>(channel_.release());
    }

    std::unique_ptr<std::thread> thread_;
    std::unique_ptr<Channel> channel_;
    pid_t owner_ = 0;
};

}  // namespace vesk
