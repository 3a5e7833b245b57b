// The writer: blocks in, compressed blocks out, on a thread of its own that
// never touches the interpreter (nothing here includes Python.h). Callback
// threads append whole records to the current block under a mutex that is
// never held across a call into Python; the thread takes full blocks at once
// and the current one at least twice a second, compresses each on its own
// and writes it. A full queue drops the record and counts it: a callback
// never waits for the writer. A write error ends the recording.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ferrule/recording/buffer.hpp"

namespace ferrule::recording {

struct Block {
    Bytes data;
    std::uint32_t records = 0;
};

struct Totals {
    unsigned long long records = 0;    // written to the file
    unsigned long long bytes = 0;      // file bytes written
    unsigned long long raw_bytes = 0;  // encoded bytes written, before compression
    unsigned long long blocks = 0;
    unsigned long long dropped = 0;    // records lost: queue full, or not written after a failure
};

class Writer {
public:
    // Takes over fd; the header is written first.
    Writer(int fd, std::string path, std::string header);
    ~Writer();

    void start() { thread_ = std::thread([this] { run(); }); }

    // From a callback thread: one whole record. Never waits for the writer.
    void append(const Bytes& rec);

    // Ends the thread once everything taken is written; call without the GIL.
    void stop_and_join();

    bool failed() const { return failed_.load(std::memory_order_acquire); }
    void count_dropped() {
        std::lock_guard<std::mutex> lock(mu_);
        ++totals_.dropped;
    }
    const std::string& path() const { return path_; }
    Totals totals() {
        std::lock_guard<std::mutex> lock(mu_);
        return totals_;
    }
    std::string error() {
        std::lock_guard<std::mutex> lock(mu_);
        return error_;
    }

private:
    Block take_spare();
    bool write_all(const char* p, std::size_t n);
    // The block's size in the file, or 0 with errno_ set.
    std::size_t write_block(const Block& b);
    void fail(const char* what);
    void run();
    void write_file();

    int fd_;
    std::string path_;
    std::string header_;
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    Block current_;
    std::deque<Block> full_;
    std::vector<Block> spare_;
    bool stopping_ = false;
    std::atomic<bool> failed_{false};
    Totals totals_;
    std::string error_;
    Bytes out_;                       // the writer thread's compression buffer
    int errno_ = 0;                   // the writer thread's last error
};

}  // namespace ferrule::recording
