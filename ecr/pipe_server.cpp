#include "ecr/pipe_server.h"

#include <cstdio>

#include "ecr/ecr_frames.h"
#include "ecr/request_framer.h"
#include "libs/dravix.h"
#include "platform/error_line.h"

namespace tarvelo {

int ecr::receive_frame(pipe_handle pipe, uint8_t* buffer, int max_length, EventLog& log,
                       TrafficCapture* capture) {
    if (buffer == nullptr) return -1;
    if (max_length < 1) return 0;
    RequestFramer framer(buffer, static_cast<size_t>(max_length));
    for (;;) {
        uint8_t byte = 0;
        uint32_t count = 0;
        if (ReadFileOverLapped(pipe, &byte, 1, &count, nullptr) == 0) {
            log.write("receive data: error");
            if (capture && framer.length() > 0)
                capture->record(capture::Kind::ecr_to_scale, buffer, framer.length());
            return -1;
        }
        if (framer.feed(byte)) {
            if (capture) capture->record(capture::Kind::ecr_to_scale, buffer, framer.length());
            return static_cast<int>(framer.length());
        }
    }
}

// The loop's 10 ms pause after a reply counts from the moment the reply began to go out: a
// thread kept from the processor after its write (by the ECR it has just woken, or by a busy
// neighbour) has spent that part of the pause already, and the ECR would otherwise wait for it
// twice. The next read still comes at least 10 ms after the reply. Without a reply, a whole
// 10 ms.
void PipeServerThread::pause(int64_t reply_at_us) {
    int64_t late_ms = reply_at_us < 0 ? 0 : (p_.clock->now_us() - reply_at_us) / 1000;
    p_.clock->sleep_ms(10 - static_cast<int>(std::clamp<int64_t>(late_ms, 0, 10)));
}

int PipeServerThread::run() {
    name_this_thread("ecr-pipe");
    // The ECR waits on this thread's every wake-up: after the pause, and for each request byte.
    wakeups_ = prefer_prompt_wakeups(p_.wakeups_ceiling);
    EventLog& log = *p_.log;
    auto created = PipeServer::create(
        p_.pipe_name, [](const std::string& text) { error_line("tarvelo: ECR pipe: " + text); });
    if (!created) {
        log.write("create named pipe '%s': error", log_field(p_.pipe_name).c_str());
        error_line("tarvelo: ECR pipe: " + created.error() + "; the ECR will get no answer");
        if (created_) created_(false);
        return -1;
    }
    log.write("create named pipe '%s': ok", log_field(p_.pipe_name).c_str());
    if (created_) created_(true);
    PipeServer& server = **created;
    {
        std::lock_guard<std::mutex> lock(server_mutex_);
        server_ = &server;
    }
    if (stop_.load() || !server.accept_client()) {
        log.write("connect pipe client: error");
        std::lock_guard<std::mutex> lock(server_mutex_);
        server_ = nullptr;
        return -1;
    }
    log.write("connect pipe client: ok");
    TrafficCapture* capture = p_.capture;
    if (capture) capture->record(capture::Kind::ecr_connect);
    // The client goes; the next one is waited for.
    auto next_client = [&] {
        server.disconnect();
        if (capture) capture->record(capture::Kind::ecr_disconnect);
        if (server.accept_client()) {
            if (capture) capture->record(capture::Kind::ecr_connect);
        } else if (!stop_.load()) {
            p_.clock->sleep_ms(100);
        }
    };
    p_.dispatcher->start();

    ecr::ReceiveBuffer buffer;
    int64_t reply_at_us = -1;  // when the last reply began to go out; -1 none since the pause
    while (!stop_.load()) {
        pause(reply_at_us);
        reply_at_us = -1;
        while (p_.display_ready->load() == 0 && !stop_.load()) p_.clock->sleep_ms(10);
        buffer.fill(0);
        int n = ecr::receive_frame(server.client(), buffer.data(), static_cast<int>(ecr::kMaxFrame),
                                   log, capture);
        if (stop_.load()) break;
        if (n == -1) {
            next_client();
            continue;
        }
        if (!ecr::is_request(buffer.data(), static_cast<size_t>(n))) {
            log.write("receive: invalid command");
            continue;
        }
        if (server.client_closed()) {
            // A request from a client that has gone gets no answer, and must not act either:
            // an ENQ would mark the weighing as sent to nobody, a price would stand unseen.
            log.write("receive data: error");
            next_client();
            continue;
        }
        std::string reply = p_.dispatcher->dispatch_frame(buffer, static_cast<size_t>(n));
        if (!reply.empty()) {
            reply_at_us = p_.clock->now_us();
            if (capture)
                capture->record(capture::Kind::scale_to_ecr,
                                reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
            uint32_t written = 0;
            WriteFileOverLapped(server.client(), reply.data(), static_cast<uint32_t>(reply.size()),
                                &written, nullptr);
        }
    }
    std::lock_guard<std::mutex> lock(server_mutex_);
    server_ = nullptr;
    return 0;
}

void PipeServerThread::stop() {
    stop_ = true;
    std::lock_guard<std::mutex> lock(server_mutex_);
    if (server_) server_->shutdown();
}

}  // namespace tarvelo
