#pragma once

#include <cstring>
#include <vector>

namespace com_nax {

// Bytes received from the server and not yet handed on: one receive may bring
// many frames, or part of one. Used by the receive thread only.
class ReceiveBuffer {
  public:
    // Storage kept between frames; a larger frame gets more for as long as it
    // lasts, so that one 16 MiB frame does not pin 16 MiB for ever.
    static constexpr unsigned kKeptCapacity = 64u * 1024u;

    const unsigned char* data() const { return storage_.data() + begin_; }
    unsigned size() const { return end_ - begin_; }
    bool empty() const { return begin_ == end_; }

    // Drops the first `n` bytes (handed on).
    void consume(unsigned n) {
        begin_ += n < size() ? n : size();
        if (begin_ == end_) {
            begin_ = end_ = 0;
            if (storage_.size() > kKeptCapacity) {
                std::vector<unsigned char>(kKeptCapacity).swap(storage_);
            }
        }
    }
    void clear() { consume(size()); }

    // Free space behind the buffered bytes, enough for `wanted` bytes in all
    // (buffered ones included) and never none; `room` is set to its size.
    // Fill it, then commit() what was written.
    unsigned char* prepare(unsigned wanted, unsigned& room) {
        const unsigned need = wanted > size() ? wanted : size() + 1;
        if (storage_.size() - end_ < need - size()) {
            if (begin_ > 0) {
                std::memmove(storage_.data(), storage_.data() + begin_, size());
                end_ -= begin_;
                begin_ = 0;
            }
            const unsigned capacity = need > kKeptCapacity ? need : kKeptCapacity;
            if (storage_.size() < capacity) {
                storage_.resize(capacity);
            }
        }
        room = static_cast<unsigned>(storage_.size()) - end_;
        return storage_.data() + end_;
    }
    void commit(unsigned n) { end_ += n; }

    // For stand-in transports: appends bytes as if received.
    void append(const unsigned char* bytes, unsigned n) {
        unsigned room = 0;
        unsigned char* tail = prepare(size() + n, room);
        std::memcpy(tail, bytes, n);
        commit(n);
    }

  private:
    std::vector<unsigned char> storage_;
    unsigned begin_ = 0;
    unsigned end_ = 0;
};

}  // namespace com_nax
