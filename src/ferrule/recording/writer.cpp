#include "ferrule/recording/writer.hpp"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>

namespace ferrule::recording {

namespace {

constexpr std::size_t kBlockBytes = 256 * 1024;
constexpr std::size_t kMaxQueuedBlocks = 64;  // 16 MiB waiting for the writer at most
constexpr std::size_t kSpareBlocks = 4;
constexpr auto kFlushEvery = std::chrono::milliseconds(500);
constexpr int kLevel = 1;  // the writer keeps up with a busy feed; the data compresses well anyway

}  // namespace

Writer::Writer(int fd, std::string path, std::string header)
    : fd_(fd), path_(std::move(path)), header_(std::move(header)) {
    current_.data.reserve(kBlockBytes);
}

Writer::~Writer() {
    if (fd_ >= 0) ::close(fd_);
}

void Writer::append(const Bytes& rec) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_ || failed_.load(std::memory_order_relaxed)) return;
        if (current_.records > 0 && current_.data.size() + rec.size() > kBlockBytes) {
            if (full_.size() >= kMaxQueuedBlocks) {
                ++totals_.dropped;
                return;
            }
            full_.push_back(std::move(current_));
            current_ = take_spare();
            wake = true;
        }
        current_.data.bytes(rec.data(), rec.size());
        ++current_.records;
    }
    if (wake) cv_.notify_one();
}

void Writer::stop_and_join() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
}

Block Writer::take_spare() {
    if (!spare_.empty()) {
        Block b = std::move(spare_.back());
        spare_.pop_back();
        return b;
    }
    Block b;
    b.data.reserve(kBlockBytes);
    return b;
}

bool Writer::write_all(const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t k = ::write(fd_, p, n);
        if (k < 0) {
            if (errno == EINTR) continue;
            errno_ = errno;
            return false;
        }
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

std::size_t Writer::write_block(const Block& b) {
    uLongf packed = compressBound(static_cast<uLong>(b.data.size()));
    out_.clear();
    out_.reserve(kBlockHeaderSize + packed);
    auto* payload = reinterpret_cast<unsigned char*>(out_.at(kBlockHeaderSize));
    int rc = compress2(payload, &packed, reinterpret_cast<const Bytef*>(b.data.data()),
                       static_cast<uLong>(b.data.size()), kLevel);
    if (rc != Z_OK) {
        errno_ = ENOMEM;
        return 0;
    }
    std::uint32_t head[4] = {static_cast<std::uint32_t>(b.data.size()), static_cast<std::uint32_t>(packed),
                             b.records, static_cast<std::uint32_t>(crc32(0L, payload, static_cast<uInt>(packed)))};
    std::memcpy(out_.at(0), kBlockMagic, 4);
    std::memcpy(out_.at(4), head, sizeof head);
    std::size_t n = kBlockHeaderSize + packed;
    return write_all(out_.data(), n) ? n : 0;
}

void Writer::fail(const char* what) {
    std::string text(what);
    text.append(" ").append(path_).append(": ").append(std::generic_category().message(errno_));
    std::lock_guard<std::mutex> lock(mu_);
    error_ = text;
    totals_.dropped += current_.records;
    for (const Block& b : full_) totals_.dropped += b.records;
    full_.clear();
    current_.data.clear();
    current_.records = 0;
    failed_.store(true, std::memory_order_release);
}

void Writer::run() {
    try {
        write_file();
    } catch (const std::bad_alloc&) {
        errno_ = ENOMEM;
        fail("writing");
    }
}

void Writer::write_file() {
    if (!write_all(header_.data(), header_.size())) {
        fail("writing");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        totals_.bytes += header_.size();
    }
    std::vector<Block> todo;
    std::unique_lock<std::mutex> lock(mu_);
    auto last_flush = std::chrono::steady_clock::now();
    for (;;) {
        cv_.wait_until(lock, last_flush + kFlushEvery, [this] { return stopping_ || !full_.empty(); });
        for (Block& b : full_) todo.push_back(std::move(b));
        full_.clear();
        auto now = std::chrono::steady_clock::now();
        bool due = stopping_ || now >= last_flush + kFlushEvery;
        if (due) {
            last_flush = now;
            if (current_.records > 0) {
                todo.push_back(std::move(current_));
                current_ = take_spare();
            }
        }
        bool last = stopping_;
        lock.unlock();
        Totals done;
        bool ok = true;
        std::size_t written = 0;
        for (; written < todo.size(); ++written) {
            std::size_t n = write_block(todo[written]);
            if (n == 0) {
                ok = false;
                break;
            }
            done.records += todo[written].records;
            done.raw_bytes += todo[written].data.size();
            done.bytes += n;
            done.blocks += 1;
        }
        lock.lock();
        totals_.records += done.records;
        totals_.raw_bytes += done.raw_bytes;
        totals_.blocks += done.blocks;
        totals_.bytes += done.bytes;
        if (!ok) {
            for (std::size_t i = written; i < todo.size(); ++i) totals_.dropped += todo[i].records;
            todo.clear();
            lock.unlock();
            fail("writing");
            return;
        }
        for (Block& b : todo) {
            b.data.clear();
            b.records = 0;
            if (spare_.size() < kSpareBlocks) spare_.push_back(std::move(b));
        }
        todo.clear();
        if (last && full_.empty() && current_.records == 0) break;
    }
    lock.unlock();
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        errno_ = errno;
        fail("closing");
    }
}

}  // namespace ferrule::recording
