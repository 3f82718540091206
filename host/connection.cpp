// A daemon connection: message checks against the command table, request threads, replies in
// completion order, and the end of the client's process when it goes.
#include "connection.h"

#include "log.h"

#include <sys/socket.h>
#include <unistd.h>

namespace vornhost {

// Runs one client thread's requests in order, so that each keeps its kernel-layer thread.
class Connection::RequestThread {
public:
    RequestThread() : m_thread([this] { loop(); }) {}
    ~RequestThread() {
        {
            std::lock_guard guard(m_lock);
            m_stopping = true;
            m_jobs.clear();
            m_changed.notify_all();
        }
        m_thread.join();
    }

    // False when the queue is full.
    bool post(std::function<void()> job) {
        std::lock_guard guard(m_lock);
        if (m_jobs.size() >= kMaxQueuedPerThread)
            return false;
        m_jobs.push_back(std::move(job));
        m_changed.notify_all();
        return true;
    }

    // Drops what has not started; the job under way finishes.
    void stop() {
        std::lock_guard guard(m_lock);
        m_stopping = true;
        m_jobs.clear();
        m_changed.notify_all();
    }

private:
    void loop() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock held(m_lock);
                m_changed.wait(held, [&] { return m_stopping || !m_jobs.empty(); });
                if (m_stopping)
                    return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
        }
    }

    std::mutex m_lock; // guards m_jobs, m_stopping
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::thread m_thread;
};

Connection::Connection(int fd, uint64_t number, PeerCredentials peer, DriverHost& host,
                       ServerView& server, std::function<void()> onEnd)
    : m_fd(fd), m_number(number), m_peer(peer), m_host(host), m_server(server),
      m_onEnd(std::move(onEnd)),
      m_process(std::make_unique<HostProcess>(host, "client " + std::to_string(number),
                                              kMaxClientThreads)) {}

Connection::~Connection() {
    shutdown();
    if (m_reader.joinable())
        m_reader.join();
    ::close(m_fd);
}

void Connection::start() {
    m_reader = std::thread([this] { readLoop(); });
}

void Connection::shutdown() {
    ::shutdown(m_fd, SHUT_RDWR);
}

void Connection::readLoop() {
    logLine("connection %llu: pid %d uid %u admitted", (unsigned long long)m_number,
            int(m_peer.pid), unsigned(m_peer.uid));
    for (;;) {
        ReadFrame frame = readFrame(m_fd, -1, kMessageGapMs);
        if (frame.status != ReadStatus::Ok) {
            if (frame.status != ReadStatus::Closed)
                logLine("connection %llu: %s, closing", (unsigned long long)m_number,
                        readStatusName(frame.status));
            break;
        }
        if (!dispatch(frame))
            break;
    }
    end();
}

bool Connection::dispatch(const ReadFrame& frame) {
    const wire::Header& header = frame.header;
    const Command* command = findCommand(header.type);
    if (!command) {
        sendReply(header, wire::encodeReply({wire::WireError::UnknownCommand, 0}));
        return true;
    }
    bool greeting = command->permission == Permission::Greeting;
    if (greeting == m_greeted) {
        sendReply(header, wire::encodeReply({wire::WireError::NotPermitted, 0}));
        logLine("connection %llu: %s out of turn, closing", (unsigned long long)m_number,
                command->name);
        return false;
    }
    Prepared prepared = command->prepare(frame.payload);
    if (prepared.kind == Prepared::Kind::Malformed) {
        logLine("connection %llu: malformed %s, closing", (unsigned long long)m_number,
                command->name);
        return false;
    }
    if (prepared.kind == Prepared::Kind::Refuse) {
        sendReply(header, wire::encodeReply({prepared.error, 0}));
        return true;
    }
    if (greeting) {
        CommandContext context{m_host, *m_process, m_server, header.threadId};
        sendReply(header, prepared.job(context));
        m_greeted = true;
        return true;
    }
    enqueue(header, std::move(prepared.job));
    return true;
}

void Connection::enqueue(const wire::Header& header, CommandJob job) {
    auto found = m_threads.find(header.threadId);
    if (found == m_threads.end()) {
        if (m_threads.size() >= kMaxClientThreads) {
            sendReply(header, wire::encodeReply({wire::WireError::TooManyThreads, 0}));
            return;
        }
        found = m_threads.emplace(header.threadId, std::make_unique<RequestThread>()).first;
    }
    bool posted = found->second->post([this, header, job = std::move(job)] {
        CommandContext context{m_host, *m_process, m_server, header.threadId};
        sendReply(header, job(context));
    });
    if (!posted)
        sendReply(header, wire::encodeReply({wire::WireError::Busy, 0}));
}

void Connection::sendReply(const wire::Header& request, const std::vector<uint8_t>& payload) {
    auto bytes = wire::frame(uint16_t(request.type | wire::kReplyBit), request.requestId,
                             request.threadId, payload);
    std::lock_guard guard(m_writeLock);
    // A client that has gone misses its reply; the reader notices the end on its own.
    writeAll(m_fd, bytes);
}

// As for a process that exits: pending requests cancelled, then every handle cleaned up and
// closed. Requests that slip in after the first pass are caught by the second.
void Connection::end() {
    ::shutdown(m_fd, SHUT_RDWR);
    for (auto& [id, thread] : m_threads)
        thread->stop();
    size_t handles = m_process->handleCount();
    m_process->terminate();
    m_threads.clear();
    m_process.reset();
    logLine("connection %llu: ended, %zu handle(s) left open were closed",
            (unsigned long long)m_number, handles);
    m_ended = true;
    if (m_onEnd)
        m_onEnd();
}

} // namespace vornhost
