#include "platform/traffic_capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

namespace tarvelo {

using capture::Kind;

// The file's own thread. It keeps its state alive by itself: a writer stuck on a disk that
// no longer answers is left behind at the end rather than waited for, and closes the file
// whenever it gets free.
class TrafficCapture::Writer {
  public:
    static std::shared_ptr<Writer> start(int fd, const std::string& path, Notice notice,
                                         WriteFn write) {
        auto w = std::shared_ptr<Writer>(new Writer);
        w->s_->fd = fd;
        w->s_->path = path;
        w->s_->notice = std::move(notice);
        w->s_->write = std::move(write);
        try {
            w->thread_ = std::thread(&Writer::run, w->s_);
        } catch (const std::system_error&) {
            return nullptr;
        }
        return w;
    }
    ~Writer() { finish(2000); }

    // False when the queue is full: the line is lost, and counted by the caller.
    bool push(std::string line) {
        {
            std::lock_guard<std::mutex> lock(s_->mutex);
            if (s_->failed) return true;  // ended: nothing more is kept, nor counted as lost
            if (s_->queue.size() >= kQueueLimit) return false;
            s_->queue.push_back(std::move(line));
        }
        s_->changed.notify_all();
        return true;
    }
    // For the last lines of a capture, which may wait a little for room.
    void push_wait(std::string line, int timeout_ms) {
        std::unique_lock<std::mutex> lock(s_->mutex);
        s_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return s_->failed || s_->queue.size() < kQueueLimit; });
        if (s_->failed || s_->queue.size() >= kQueueLimit) return;
        s_->queue.push_back(std::move(line));
        s_->changed.notify_all();
    }
    bool failed() const {
        std::lock_guard<std::mutex> lock(s_->mutex);
        return s_->failed;
    }
    // Writes what is queued and closes the file; after timeout_ms a stuck writer is let go.
    void finish(int timeout_ms) {
        if (!thread_.joinable()) return;
        std::unique_lock<std::mutex> lock(s_->mutex);
        s_->closing = true;
        s_->changed.notify_all();
        bool done = s_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                         [&] { return s_->done; });
        lock.unlock();
        if (done)
            thread_.join();
        else
            thread_.detach();
    }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<std::string> queue;
        bool closing = false, done = false, failed = false;
        int fd = -1;
        std::string path;
        Notice notice;
        WriteFn write;
    };
    Writer() : s_(std::make_shared<State>()) {}

    static void run(std::shared_ptr<State> s) {
        std::unique_lock<std::mutex> lock(s->mutex);
        for (;;) {
            s->changed.wait(lock, [&] { return s->closing || !s->queue.empty(); });
            if (s->queue.empty()) break;
            std::string line = std::move(s->queue.front());
            s->queue.pop_front();
            s->changed.notify_all();
            lock.unlock();
            const char* p = line.data();
            size_t left = line.size();
            int error = 0;
            while (left > 0) {
                long n = s->write(s->fd, p, left);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    error = n < 0 ? errno : ENOSPC;
                    break;
                }
                p += n;
                left -= static_cast<size_t>(n);
            }
            lock.lock();
            if (error != 0) {
                s->failed = true;
                s->queue.clear();
                lock.unlock();
                if (s->notice)
                    s->notice("capture " + s->path + ": cannot write: " + std::strerror(error) +
                              "; the capture ends here");
                lock.lock();
                break;
            }
        }
        ::close(s->fd);
        s->done = true;
        s->changed.notify_all();
    }

    std::shared_ptr<State> s_;
    std::thread thread_;
};

namespace {

int64_t steady_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Opens the capture file for writing, never blocking on a FIFO and never writing into anything
// but a regular file (a device or a FIFO would swallow the capture or stall the writer). A link
// is not followed: a name planted in a shared directory must not make the scale empty a file
// elsewhere. A file that was there keeps no wider mode than a new one gets: it holds the ECR's
// CS/KW pairs and the shop's prices.
Result<int> open_capture_file(const std::string& path) {
    if (path.empty()) return Failure{"no file named"};
    struct stat before {};
    if (::lstat(path.c_str(), &before) == 0) {
        if (S_ISLNK(before.st_mode))
            return Failure{path + ": a symbolic link (name the file itself)"};
        if (!S_ISREG(before.st_mode)) return Failure{path + ": not a regular file"};
    }
    int fd = ::open(path.c_str(),
                    O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd < 0) {
        int e = errno;
        return Failure{path + ": " +
                       (e == ELOOP ? std::string("a symbolic link (name the file itself)")
                                   : std::strerror(e))};
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Failure{path + ": not a regular file"};
    }
    if ((st.st_mode & 077) != 0 && ::fchmod(fd, st.st_mode & 0700) != 0) {
        int e = errno;
        ::close(fd);
        return Failure{path +
                       ": others may read it and its mode cannot be changed: " + std::strerror(e)};
    }
    if (::ftruncate(fd, 0) != 0) {
        int e = errno;
        ::close(fd);
        return Failure{path + ": " + std::strerror(e)};
    }
    ::fcntl(fd, F_SETFL, 0);
    return fd;
}

}  // namespace

TrafficCapture::TrafficCapture(Notice notice, MicroClock clock, WriteFn write)
    : notice_(std::move(notice)),
      clock_(clock ? std::move(clock) : steady_us),
      write_(write ? std::move(write) : [](int fd, const void* data, size_t length) -> long {
          return ::write(fd, data, length);
      }) {}

TrafficCapture::~TrafficCapture() {
    stop();
}

Result<void> TrafficCapture::start(const std::string& path, bool from_program_start) {
    if (running()) return Failure{"a capture is running already: " + this->path()};
    stop();  // one that ended by itself (its limit, a full disk) is finished first
    std::lock_guard<std::mutex> lock(mutex_);
    auto fd = open_capture_file(path);
    if (!fd) return fd.failure();
    std::shared_ptr<Writer> writer = Writer::start(*fd, path, notice_, write_);
    if (!writer) {
        ::close(*fd);
        return Failure{path + ": no thread could be started to write it"};
    }
    writer_ = std::move(writer);
    path_ = path;
    header_.start = from_program_start ? "program" : "running";
    header_written_ = false;
    t0_ = clock_();
    last_us_ = 0;
    bytes_ = 0;
    lost_ = lost_unwritten_ = 0;
    capture_limit_ = limit_;
    if (identified_) {
        header_written_ = true;
        queue_locked(capture::header_lines(header_));
    }
    return {};
}

void TrafficCapture::identify(const capture::Header& header) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string start = header_.start;
    header_ = header;
    header_.start = start;
    identified_ = true;
    if (writer_ && !header_written_) {
        header_written_ = true;
        queue_locked(capture::header_lines(header_));
    }
}

void TrafficCapture::stop(const std::string& reason) {
    std::shared_ptr<Writer> writer;
    uint64_t lost = 0;
    std::string path;
    std::vector<std::string> last_lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!writer_) return;
        writer = std::move(writer_);
        lost = lost_;
        path = path_;
        if (!ended_ && header_written_ && !writer->failed()) {
            int64_t us = std::max(last_us_, clock_() - t0_);
            if (lost_unwritten_ > 0)
                last_lines.push_back(capture::count_record_line(us, Kind::lost, lost_unwritten_));
            last_lines.push_back(capture::text_record_line(us, Kind::end, reason));
        }
        ended_ = false;
    }
    // The last lines wait for room with the lock let go: the board reader and the pipe thread
    // record on and find no capture, rather than wait for a disk that has stalled.
    for (std::string& line : last_lines) writer->push_wait(std::move(line), 2000);
    writer->finish(2000);
    if (lost > 0 && notice_)
        notice_("capture " + path + ": " + std::to_string(lost) +
                " records lost (the disk could not keep up); the file says where");
}

bool TrafficCapture::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writer_ && !ended_ && !writer_->failed();
}

std::string TrafficCapture::path() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
}

void TrafficCapture::set_limit(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    limit_ = bytes;
}

uint64_t TrafficCapture::limit() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return limit_;
}

uint64_t TrafficCapture::lost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

int64_t TrafficCapture::now_us() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clock_() - t0_;
}

void TrafficCapture::queue_locked(std::string line) {
    bytes_ += line.size();
    if (!writer_->push(std::move(line))) {
        ++lost_;
        ++lost_unwritten_;
    }
}

void TrafficCapture::record(Kind kind, const uint8_t* bytes, size_t length) {
    record_at(-1, kind, bytes, length);
}

void TrafficCapture::record_at(int64_t at_us, Kind kind, const uint8_t* bytes, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!writer_ || !header_written_ || ended_ || writer_->failed()) return;
    // A time later than now was taken against another start (the board reader stamps a burst
    // as it reads it, and the burst may have begun before this capture did): it counts as now,
    // or every record after it would carry it too.
    const int64_t now = clock_() - t0_;
    int64_t us = at_us < 0 || at_us > now ? now : at_us;
    us = std::max(us, last_us_);
    std::string line = capture::record_line(us, kind, bytes, length);
    if (lost_unwritten_ > 0) {
        // Said where the records went missing; while the queue stays full, said later.
        std::string lost_line = capture::count_record_line(us, Kind::lost, lost_unwritten_);
        size_t size = lost_line.size();
        if (writer_->push(std::move(lost_line))) {
            bytes_ += size;
            lost_unwritten_ = 0;
        }
    }
    // The note and the end record always fit: the limit counts the records before them. The
    // file is finished by stop() (or the next start), never by the thread that records.
    if (bytes_ + line.size() > capture_limit_) {
        queue_locked("# capture stopped: the size limit of " + std::to_string(capture_limit_) +
                     " bytes was reached; nothing after this point was recorded\n");
        queue_locked(capture::text_record_line(us, Kind::end, "size-limit"));
        ended_ = true;
        if (notice_)
            notice_("capture " + path_ + ": size limit of " + std::to_string(capture_limit_) +
                    " bytes reached; the capture ended");
        return;
    }
    last_us_ = us;
    queue_locked(std::move(line));
}

void TrafficCapture::record_text(Kind kind, std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!writer_ || !header_written_ || ended_ || writer_->failed()) return;
    int64_t us = std::max(last_us_, clock_() - t0_);
    last_us_ = us;
    queue_locked(capture::text_record_line(us, kind, text));
}

namespace {

class CapturingLine : public SerialLine {
  public:
    CapturingLine(std::unique_ptr<SerialLine> inner, TrafficCapture& capture)
        : inner_(std::move(inner)), capture_(capture) {}
    ~CapturingLine() override { flush(); }

    ReadStatus read_byte(uint8_t& out) override {
        ReadStatus status = inner_->read_byte(out);
        if (status == ReadStatus::byte) {
            pending_.push_back(out);
            last_us_ = capture_.now_us();
            if (pending_.size() >= kLongestRecord) flush();
            return status;
        }
        flush();
        if (status == ReadStatus::gone) capture_.record(Kind::board_gone);
        return status;
    }
    bool write_all(const void* data, size_t length) override {
        capture_.record(Kind::pc_to_board, static_cast<const uint8_t*>(data), length);
        return inner_->write_all(data, length);
    }

  private:
    // A board streams without pause only when something is wrong: a long burst is cut so that
    // no line grows without end.
    static constexpr size_t kLongestRecord = 256;

    // Stamped with the time the last byte was read: the moment the scale had the whole burst.
    void flush() {
        if (pending_.empty()) return;
        capture_.record_at(last_us_, Kind::board_to_pc, pending_.data(), pending_.size());
        pending_.clear();
    }

    std::unique_ptr<SerialLine> inner_;
    TrafficCapture& capture_;
    std::vector<uint8_t> pending_;  // the reader thread's alone
    int64_t last_us_ = 0;
};

}  // namespace

LineOpener capturing_opener(LineOpener inner, TrafficCapture& capture) {
    return [inner = std::move(inner), &capture](
               const std::string& name,
               const LineSettings& settings) -> Result<std::unique_ptr<SerialLine>> {
        Result<std::unique_ptr<SerialLine>> opened = inner(name, settings);
        if (!opened) return opened;
        capture.record_text(Kind::board_open, name);
        return std::unique_ptr<SerialLine>(std::make_unique<CapturingLine>(opened.take(), capture));
    };
}

}  // namespace tarvelo
