/// Large buffers of doubles, kept for reuse by the factorisations of one analysis. Plain C++;
/// no Python.
///
/// A refactorisation needs a factor's worth of memory each time, and the previous factor is
/// usually freed soon after. Fresh pages cost a page fault each, which measured about a
/// quarter of a factorisation's time; a buffer handed back and taken again costs none.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace corvid::cholesky {

/// `capacity` doubles, not initialised.
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(size_t capacity)
        : data_(static_cast<double*>(std::malloc(std::max<size_t>(capacity, 1) * sizeof(double)))),
          capacity_(capacity) {
        if (!data_) throw std::bad_alloc();
    }
    double* get() const { return data_.get(); }
    size_t capacity() const { return capacity_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    struct Free {
        void operator()(double* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<double[], Free> data_;
    size_t capacity_ = 0;
};

/// A few buffers handed back, any thread may take or give; the smallest that fits is taken.
class BufferPool {
public:
    BufferPool() { kept_.reserve(kKept + 1); }

    /// A buffer of at least `count` doubles: a kept one, or a new one (std::bad_alloc when
    /// the system has no room).
    Buffer take(size_t count) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            auto best = kept_.end();
            for (auto it = kept_.begin(); it != kept_.end(); ++it)
                if (it->capacity() >= count && (best == kept_.end() || it->capacity() < best->capacity()))
                    best = it;
            if (best != kept_.end()) {
                Buffer out = std::move(*best);
                kept_.erase(best);
                return out;
            }
        }
        return Buffer(count);
    }

    /// Keeps `buffer` for a later `take`; beyond `kKept` buffers the oldest is freed.
    void give(Buffer&& buffer) noexcept {
        if (!buffer) return;
        Buffer dropped;
        std::lock_guard<std::mutex> hold(lock_);
        try {
            kept_.push_back(std::move(buffer));
        } catch (...) {
            return;  // no room to keep it: it is freed
        }
        if (kept_.size() > kKept) {
            dropped = std::move(kept_.front());
            kept_.erase(kept_.begin());
        }
    }

private:
    static constexpr size_t kKept = 6;
    std::mutex lock_;
    std::vector<Buffer> kept_;
};

}  // namespace corvid::cholesky
