#include "platform/FramePool.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <set>
#include <thread>

// Counts the allocations made through operator new on this thread, to show that handing buffers out
// and taking them back allocates nothing.
namespace {
thread_local long t_allocations = 0;
}

void* operator new(size_t size) {
    ++t_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

TEST(FramePool, HandsOutEachBufferOnceAndTakesItBackWithItsPixelsWhenTheLastReferenceGoes) {
    for (const auto& [w, h, capacity] :
         {std::tuple{0, 10, 2}, {10, 10, 0}, {10, 10, FramePool::kMaxCapacity + 1}}) {
        FramePool bad(w, h, PixelBuffer::kBGRA, capacity);
        EXPECT_FALSE(bad.isValid());
        EXPECT_EQ(bad.acquire(), nullptr);
    }
    FramePool full(4, 4, PixelBuffer::kBGRA, FramePool::kMaxCapacity); // every bit of the free mask
    std::vector<FramePtr> all;
    while (auto b = full.acquire())
        all.push_back(b);
    EXPECT_EQ(all.size(), size_t(FramePool::kMaxCapacity));

    std::shared_ptr<PixelBuffer> outlives;
    {
        FramePool pool(64, 32, PixelBuffer::kBGRA, 3);
        auto a = pool.acquire();
        auto b = pool.acquire();
        outlives = pool.acquire();
        ASSERT_TRUE(a && b && outlives);
        EXPECT_EQ(pool.acquire(), nullptr) << "a fourth buffer from a pool of three";
        EXPECT_EQ((std::set{a->data(), b->data(), outlives->data()}).size(), 3u);
        EXPECT_EQ(a->width(), 64);
        EXPECT_EQ(a->height(), 32);
        EXPECT_GE(a->bytesPerRow(), 64 * 4);

        const uint8_t* bData = b->data();
        b->data()[5] = 0x7f;
        FramePtr held = b; // a second reference keeps the buffer out
        b.reset();
        EXPECT_EQ(pool.acquire(), nullptr);
        held.reset();
        EXPECT_EQ(pool.freeCount(), 1);
        auto again = pool.acquire();
        ASSERT_TRUE(again);
        EXPECT_EQ(again->data(), bData) << "the returned slot is the one given back";
        EXPECT_EQ(again->data()[5], 0x7f) << "the same memory comes back, not a fresh buffer";
    }
    outlives->data()[0] = 1; // still ours after the pool: AddressSanitizer would catch a freed buffer
    EXPECT_EQ(outlives->data()[0], 1);
}

// The steady state of a stream: take a buffer, drop the oldest one in flight.
TEST(FramePool, SteadyHandOutAndReturnAllocatesNothing) {
    FramePool pool(32, 32, PixelBuffer::kBGRA, 4);
    std::array<FramePtr, 3> inFlight;
    for (auto& f : inFlight)
        f = pool.acquire();
    const long before = t_allocations;
    for (int i = 0; i < 1000; ++i) {
        auto b = pool.acquire();
        ASSERT_TRUE(b);
        inFlight[size_t(i) % inFlight.size()] = std::move(b);
    }
    EXPECT_EQ(t_allocations - before, 0);
}

// The capture thread takes buffers; the encoder's thread reads them and drops the last reference.
TEST(FramePool, BuffersDroppedOnAnotherThreadComeBackWithoutRaces) {
    FramePool pool(64, 4, PixelBuffer::kBGRA, 4);
    std::mutex mutex;
    std::deque<FramePtr> handoff;
    std::atomic<bool> done{false};
    long checksum = 0, expected = 0;
    std::thread consumer([&] {
        for (;;) {
            FramePtr frame;
            {
                std::lock_guard lock(mutex);
                if (handoff.empty() && done) return;
                if (!handoff.empty()) {
                    frame = std::move(handoff.front());
                    handoff.pop_front();
                }
            }
            if (frame)
                checksum += frame->data()[0]; // reads the pixels the producer wrote
            else
                std::this_thread::yield();
        }
    });
    for (int i = 0; i < 20000;) {
        auto b = pool.acquire();
        if (!b) {
            std::this_thread::yield();
            continue;
        }
        b->data()[0] = uint8_t(i & 0x7f);
        expected += i++ & 0x7f;
        std::lock_guard lock(mutex);
        handoff.push_back(std::move(b));
    }
    done = true;
    consumer.join();
    EXPECT_EQ(checksum, expected);
    EXPECT_EQ(pool.freeCount(), 4);
}
