// The bytes of a recording: a record is encoded into a buffer of the calling
// thread's, then appended whole to the current block. No Python.h: the
// writer thread works on these.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "ferrule/recording/format.hpp"

namespace ferrule::recording {

// Plain malloc'd storage: no out-of-line template code of the standard
// library ends up in the module's exported symbols.
class Bytes {
public:
    Bytes() = default;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    Bytes(Bytes&& o) noexcept : buf_(o.buf_), cap_(o.cap_), n_(o.n_) { o.buf_ = nullptr, o.cap_ = o.n_ = 0; }
    Bytes& operator=(Bytes&& o) noexcept {
        std::swap(buf_, o.buf_);
        std::swap(cap_, o.cap_);
        std::swap(n_, o.n_);
        return *this;
    }
    ~Bytes() { std::free(buf_); }

    char* grow(std::size_t k) {
        if (k > cap_ - n_) reserve(std::max(cap_ * 2, n_ + k + 256));
        char* p = buf_ + n_;
        n_ += k;
        return p;
    }
    template <class T>
    void put(T v) {
        std::memcpy(grow(sizeof v), &v, sizeof v);
    }
    void tag(Tag t) { put(static_cast<std::uint8_t>(t)); }
    void bytes(const void* p, std::size_t k) {
        if (k) std::memcpy(grow(k), p, k);
    }
    void reserve(std::size_t k) {
        if (k <= cap_) return;
        void* p = std::realloc(buf_, k);
        if (!p) throw std::bad_alloc();
        buf_ = static_cast<char*>(p);
        cap_ = k;
    }
    char* at(std::size_t off) { return buf_ + off; }
    const char* data() const { return buf_; }
    std::size_t size() const { return n_; }
    void clear() { n_ = 0; }
    void truncate(std::size_t n) { n_ = n; }

private:
    char* buf_ = nullptr;
    std::size_t cap_ = 0;
    std::size_t n_ = 0;
};

template <class T>
void patch(Bytes& b, std::size_t off, T v) {
    std::memcpy(b.at(off), &v, sizeof v);
}

}  // namespace ferrule::recording
