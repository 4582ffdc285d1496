#include "platform/codec/EncoderWorker.h"

#include <pthread.h>

EncoderWorker::EncoderWorker(const char* threadName, EncoderSession::OutputCallback callback)
    : threadName_(threadName), callback_(std::move(callback)) {}

EncoderWorker::~EncoderWorker() {
    invalidate();
}

void EncoderWorker::start(EncodeFn encode, FinishFn finish) {
    encode_ = std::move(encode);
    finish_ = std::move(finish);
    thread_ = std::thread([this] { run(); });
}

OptError EncoderWorker::submit(Job job) {
    if (!job.image)
        return Error::make(kEncoderErrorDomain, kEncoderErrorInvalidArgument, QStringLiteral("no image"));
    std::lock_guard lock(mutex_);
    if (stopping_ || !thread_.joinable())
        return Error::make(kEncoderErrorDomain, kEncoderErrorInvalidated,
                           QStringLiteral("session invalidated"));
    for (Job& waiting : jobs_) {
        waiting.dropped = true;
        waiting.image.reset(); // the picture can go back to its pool at once
    }
    jobs_.push_back(std::move(job));
    wake_.notify_one();
    return std::nullopt;
}

void EncoderWorker::completeFrames() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return jobs_.empty() && !busy_; });
}

void EncoderWorker::invalidate() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && !thread_.joinable()) return;
        stopping_ = true;
        for (Job& waiting : jobs_) {
            waiting.dropped = true;
            waiting.image.reset();
        }
        wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
}

void EncoderWorker::run() {
    pthread_setname_np(pthread_self(), threadName_);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) break; // stopping, nothing left
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        lock.unlock();
        if (job.dropped)
            report(
                std::move(job.frameContext),
                Error::make(kEncoderErrorDomain, kEncoderErrorFrameDropped, QStringLiteral("frame dropped")),
                nullptr);
        else
            encode_(job);
        job = Job{};
        lock.lock();
        busy_ = false;
        if (jobs_.empty()) idle_.notify_all();
    }
    lock.unlock();
    if (finish_) finish_();
    lock.lock();
    idle_.notify_all();
}
