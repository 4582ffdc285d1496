#pragma once

#include "platform/EncoderSession.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// The thread an encoder session works on. Pictures wait in submission order; when the encoder falls
// behind, every picture still waiting when a newer one arrives is dropped (it gets its callback with
// no sample), so latency stays at one picture in hand and one waiting.
class EncoderWorker {
public:
    struct Job {
        FramePtr image;
        MediaTime pts;
        MediaTime duration;
        std::shared_ptr<const void> frameContext;
        bool dropped = false;
    };
    // Encodes one job on the worker thread and reports it through `report` (once, or never when the
    // encoder holds the picture back: then `pending` keeps its context until a sample comes out).
    using EncodeFn = std::function<void(Job&)>;
    // Runs on the worker thread before it ends, to drain whatever the encoder still holds.
    using FinishFn = std::function<void()>;

    EncoderWorker(const char* threadName, EncoderSession::OutputCallback callback);
    ~EncoderWorker();
    EncoderWorker(const EncoderWorker&) = delete;
    EncoderWorker& operator=(const EncoderWorker&) = delete;

    void start(EncodeFn encode, FinishFn finish = {});
    // Every session refuses a missing picture the same way, so the check lives here.
    OptError submit(Job job);
    void completeFrames();
    // Drops what waits, lets the encoder finish, joins the thread. Safe to call twice.
    void invalidate();

    // For the encode function: hands a result to the session's callback.
    void report(std::shared_ptr<const void> frameContext, const OptError& status, SamplePtr sample) {
        callback_(std::move(frameContext), status, std::move(sample));
    }

private:
    void run();

    const char* threadName_;
    EncoderSession::OutputCallback callback_;
    EncodeFn encode_;
    FinishFn finish_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> jobs_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};
