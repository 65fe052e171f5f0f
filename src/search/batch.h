#pragma once

#include <cstddef>
#include <span>

namespace tarnwick {

// Positions that a search writes to its caller's buffer, a batch per call.
// The search stops as soon as the buffer is full and the next call goes on
// one byte after the last position written.
class Batch {
public:
    Batch(std::span<std::size_t> out, std::size_t& from) : out_(out), from_(from) {}

    // Records `at`; true when that filled the buffer.
    bool take(std::size_t at) {
        out_[n_++] = at;
        if (n_ == out_.size()) {
            from_ = at + 1;
            return true;
        }
        return false;
    }
    // The search ran to the end of an image of `size` bytes.
    std::size_t end(std::size_t size) {
        from_ = size;
        return n_;
    }
    std::size_t count() const { return n_; }

private:
    std::span<std::size_t> out_;
    std::size_t& from_;
    std::size_t n_ = 0;
};

}  // namespace tarnwick
