#include "platform/FramePool.h"

#include <bit>
#include <cstddef>

struct FramePool::State {
    struct Slot {
        std::shared_ptr<PixelBuffer> buffer;
        // Holds the reference count of the buffer while it is out.
        alignas(std::max_align_t) unsigned char block[128];
    };
    std::vector<Slot> slots;
    std::atomic<uint64_t> freeMask{0};

    void giveBack(int index) { freeMask.fetch_or(uint64_t(1) << index, std::memory_order_release); }
};

namespace {

// Puts the reference count of a handed-out buffer into its slot and frees the slot when the count goes:
// the count is the last thing released, so the slot cannot be reused while anything still touches it.
template <typename T> struct SlotAllocator {
    using value_type = T;

    std::shared_ptr<FramePool::State> state;
    int index;

    SlotAllocator(std::shared_ptr<FramePool::State> s, int i) : state(std::move(s)), index(i) {}
    template <typename U>
    SlotAllocator(const SlotAllocator<U>& other) : state(other.state), index(other.index) {}

    // The shared pointer asks for exactly one count object.
    T* allocate(size_t) {
        static_assert(sizeof(T) <= sizeof(FramePool::State::Slot::block),
                      "reference count does not fit its slot");
        static_assert(alignof(T) <= alignof(std::max_align_t));
        return reinterpret_cast<T*>(state->slots[size_t(index)].block);
    }
    void deallocate(T*, size_t) { state->giveBack(index); }

    template <typename U> bool operator==(const SlotAllocator<U>& other) const {
        return state == other.state && index == other.index;
    }
};

struct KeepBuffer {
    void operator()(PixelBuffer*) const {}
};

} // namespace

FramePool::FramePool(int width, int height, PixelBuffer::Format format, int capacity)
    : width_(width), height_(height), format_(format) {
    if (capacity <= 0 || capacity > kMaxCapacity) return;
    auto state = std::make_shared<State>();
    state->slots.resize(size_t(capacity));
    for (auto& slot : state->slots) {
        slot.buffer = PixelBuffer::create(width, height, format);
        if (!slot.buffer) return;
    }
    state->freeMask.store(capacity == 64 ? ~uint64_t(0) : (uint64_t(1) << capacity) - 1);
    state_ = std::move(state);
}

FramePool::~FramePool() = default;

int FramePool::capacity() const {
    return state_ ? int(state_->slots.size()) : 0;
}

int FramePool::freeCount() const {
    return state_ ? std::popcount(state_->freeMask.load(std::memory_order_acquire)) : 0;
}

std::shared_ptr<PixelBuffer> FramePool::acquire() {
    if (!state_) return nullptr;
    uint64_t mask = state_->freeMask.load(std::memory_order_acquire);
    int index;
    do {
        if (mask == 0) return nullptr;
        index = std::countr_zero(mask);
    } while (!state_->freeMask.compare_exchange_weak(mask, mask & ~(uint64_t(1) << index),
                                                     std::memory_order_acquire, std::memory_order_acquire));
    PixelBuffer* buffer = state_->slots[size_t(index)].buffer.get();
    return std::shared_ptr<PixelBuffer>(buffer, KeepBuffer{}, SlotAllocator<PixelBuffer>(state_, index));
}
