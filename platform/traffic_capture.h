#pragma once
// A capture of the scale's traffic: every byte on the board line and on the ECR link, written
// to a file in the capture format (capture_format.h) by a thread of its own.
//
// The scale must work exactly as it does without one. The threads that record (the board
// reader, the pipe thread, a board command) only queue a line and go on: a disk that cannot
// keep up costs records, never time, and the file says how many were lost. Each line reaches
// the file with a write of its own as soon as the writer takes it, so a crash loses only what
// was still queued (normally nothing, at most the last records). A capture ends at its size
// limit with a note in the file and on standard error.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/capture_format.h"
#include "platform/result.h"
#include "platform/serial_port.h"

namespace tarvelo {

class TrafficCapture {
  public:
    static constexpr uint64_t kDefaultLimitBytes = uint64_t{64} << 20;
    static constexpr uint64_t kMaxLimitMiB = 4096;
    // Lines that may wait for the disk: a board streaming 20 frames a second fills it only
    // when the disk stalls for minutes.
    static constexpr size_t kQueueLimit = 4096;

    using Notice = std::function<void(const std::string&)>;  // a line for standard error
    using MicroClock = std::function<int64_t()>;             // monotonic microseconds
    // The system's write(2) unless a test stands in for a slow or full disk.
    using WriteFn = std::function<long(int fd, const void* data, size_t length)>;

    explicit TrafficCapture(Notice notice, MicroClock clock = {}, WriteFn write = {});
    ~TrafficCapture();  // ends a capture that still runs
    TrafficCapture(const TrafficCapture&) = delete;
    TrafficCapture& operator=(const TrafficCapture&) = delete;

    // Begins a capture into `path`, made empty (mode 0600: it holds the ECR's CS/KW pairs);
    // refused when no capture may be written there: not a regular file, or not writable.
    // `from_program_start`: the header says start=program, else start=running.
    Result<void> start(const std::string& path, bool from_program_start);
    // Ends the running capture with an "end" record (and `reason` on it), and waits up to two
    // seconds for the writer to finish the file.
    void stop(const std::string& reason = {});
    bool running() const;
    std::string path() const;
    // Takes effect for the next capture. At least one line always fits.
    void set_limit(uint64_t bytes);
    uint64_t limit() const;

    // What the header tells (the start field is set by start()): no record is kept before it is
    // known, and it is the first line of every capture begun afterwards.
    void identify(const capture::Header& header);

    void record(capture::Kind kind, const uint8_t* bytes = nullptr, size_t length = 0);
    // `at_us`: when it happened, on the capture's clock; a time before the last record's
    // becomes that one, as times in the file never go back.
    void record_at(int64_t at_us, capture::Kind kind, const uint8_t* bytes, size_t length);
    void record_text(capture::Kind kind, std::string_view text);
    int64_t now_us() const;

    // Records lost in the running (or last) capture because the writer could not keep up.
    uint64_t lost() const;

  private:
    class Writer;
    void queue_locked(std::string line);

    const Notice notice_;
    const MicroClock clock_;
    const WriteFn write_;
    mutable std::mutex mutex_;
    std::shared_ptr<Writer> writer_;
    std::string path_;
    bool ended_ = false;  // by its size limit: the file waits for stop() to be finished
    bool identified_ = false;
    bool header_written_ = false;
    capture::Header header_;
    int64_t t0_ = 0;
    int64_t last_us_ = 0;
    uint64_t limit_ = kDefaultLimitBytes;
    uint64_t capture_limit_ = kDefaultLimitBytes;
    uint64_t bytes_ = 0;
    uint64_t lost_ = 0, lost_unwritten_ = 0;
};

// The board line with what it carries recorded into `capture`: the bytes of one read burst
// (until the line falls quiet) make one board>pc record, each write one pc>board record; an
// open is a board-open record, a device that goes away a board-gone record.
LineOpener capturing_opener(LineOpener inner, TrafficCapture& capture);

}  // namespace tarvelo
