// A daemon connection: message checks against the command table, request threads, replies in
// completion order, and the end of the client's process when it goes.
#include "connection.h"

#include "log.h"

#include <array>
#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

namespace vornhost {

// Runs one client thread's requests in order, so that each keeps its kernel-layer thread. The
// queue is a fixed ring whose slots keep their payload buffers, so that queueing a device
// control request allocates nothing.
class Connection::RequestThread {
public:
    explicit RequestThread(Connection& owner) : m_owner(owner), m_thread([this] { loop(); }) {}
    ~RequestThread() {
        stop();
        m_thread.join();
    }

    // False when the queue is full.
    bool post(std::function<void()> work) {
        std::lock_guard guard(m_lock);
        Job* job = reserve();
        if (job == nullptr)
            return false;
        job->work = std::move(work);
        m_changed.notify_all();
        return true;
    }

    // Queues a request that `command` executes in place on a copy of its payload.
    bool post(const wire::Header& header, const Command* command,
              std::span<const uint8_t> payload) {
        std::lock_guard guard(m_lock);
        Job* job = reserve();
        if (job == nullptr)
            return false;
        job->header = header;
        job->command = command;
        job->payload.assign(payload.begin(), payload.end());
        m_changed.notify_all();
        return true;
    }

    // Nothing queued and nothing under way.
    bool idle() {
        std::lock_guard guard(m_lock);
        return m_count == 0;
    }

    // Drops what has not started; the job under way finishes.
    void stop() {
        std::lock_guard guard(m_lock);
        m_stopping = true;
        m_changed.notify_all();
    }

    struct Job {
        std::function<void()> work; // a prepared job, or empty for one run in place
        wire::Header header;
        const Command* command = nullptr;
        std::vector<uint8_t> payload;
    };

private:
    // At most kMaxQueuedPerThread wait behind the one under way, which keeps its slot.
    Job* reserve() {
        if (m_stopping || m_count - (m_running ? 1 : 0) >= kMaxQueuedPerThread)
            return nullptr;
        return &m_jobs[(m_head + m_count++) % m_jobs.size()];
    }

    void loop() {
        for (;;) {
            Job* job;
            {
                std::unique_lock held(m_lock);
                m_changed.wait(held, [&] { return m_stopping || m_count > 0; });
                if (m_stopping)
                    return;
                job = &m_jobs[m_head]; // stays ours: posts fill only the slots after it
                m_running = true;
            }
            if (job->work)
                job->work();
            else
                m_owner.runInPlace(job->header, job->command, job->payload);
            std::lock_guard guard(m_lock);
            job->work = nullptr;
            m_head = (m_head + 1) % m_jobs.size();
            --m_count;
            m_running = false;
        }
    }

    std::mutex m_lock; // guards m_jobs' slots from m_head on, m_head, m_count, m_stopping
    std::condition_variable m_changed;
    std::array<Job, kMaxQueuedPerThread + 1> m_jobs;
    size_t m_head = 0;
    size_t m_count = 0; // slots in use from m_head on, the one under way included
    bool m_running = false;
    bool m_stopping = false;
    Connection& m_owner;
    std::thread m_thread;
};

Connection::Connection(int fd, uint64_t number, PeerCredentials peer, DriverHost& host,
                       ServerView& server, std::function<void()> onEnd)
    : m_fd(fd), m_number(number), m_peer(peer), m_host(host), m_server(server),
      m_onEnd(std::move(onEnd)), m_process(std::make_unique<HostProcess>(
                                     host, "client " + std::to_string(number), kMaxClientThreads)),
      m_events(std::make_unique<EventSubscriptions>(host.events())) {}

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
    FrameReceiver receiver(m_fd);
    for (;;) {
        wire::Header header;
        std::span<const uint8_t> payload;
        ReadStatus status = receiver.next(-1, kMessageGapMs, &header, &payload);
        if (status != ReadStatus::Ok) {
            if (status != ReadStatus::Closed)
                logLine("connection %llu: %s, closing", (unsigned long long)m_number,
                        readStatusName(status));
            break;
        }
        if (!dispatch(header, payload))
            break;
    }
    end();
}

bool Connection::dispatch(const wire::Header& header, std::span<const uint8_t> payload) {
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
    Prepared prepared = command->prepare(payload);
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
        CommandContext context{m_host,    *m_process, m_server, header.threadId,
                               *m_events, nullptr,    nullptr,  m_peer};
        sendReply(header, prepared.job(context));
        m_greeted = true;
        return true;
    }
    enqueue(header, command, payload, std::move(prepared));
    return true;
}

void Connection::enqueue(const wire::Header& header, const Command* command,
                         std::span<const uint8_t> payload, Prepared prepared) {
    auto found = m_threads.find(header.threadId);
    // A request that does not wait runs here unless its client thread has one ahead of it,
    // which it must not overtake. Only this reader posts work, so an idle thread stays idle.
    const bool nothingAhead = found == m_threads.end() || found->second->idle();
    if (prepared.kind == Prepared::Kind::Inline && nothingAhead) {
        runInPlace(header, command, payload);
        return;
    }
    if (prepared.readyReply && nothingAhead) {
        CommandContext context{m_host,    *m_process, m_server, header.threadId,
                               *m_events, this,       &header,  m_peer};
        std::vector<uint8_t> reply;
        if (prepared.readyReply(context, &reply)) {
            sendReply(header, reply);
            return;
        }
    }
    if (found == m_threads.end()) {
        if (m_threads.size() >= kMaxClientThreads && !retireIdleThread()) {
            sendReply(header, wire::encodeReply({wire::WireError::TooManyThreads, 0}));
            return;
        }
        found = m_threads.emplace(header.threadId, std::make_unique<RequestThread>(*this)).first;
    }
    bool posted;
    if (prepared.kind != Prepared::Kind::Run)
        posted = found->second->post(header, command, payload);
    else
        posted = found->second->post([this, header, job = std::move(prepared.job)] {
            CommandContext context{m_host,    *m_process, m_server, header.threadId,
                                   *m_events, this,       &header,  m_peer};
            const std::vector<uint8_t> reply = job(context);
            if (!reply.empty())
                sendReply(header, reply);
        });
    if (!posted)
        sendReply(header, wire::encodeReply({wire::WireError::Busy, 0}));
}

// A client that starts a thread for every blocking call brings a new thread id each time;
// the limit counts the ids with work under way, so an idle one makes room. Only this reader
// posts work, so an idle request thread stays idle while it is retired.
bool Connection::retireIdleThread() {
    for (auto entry = m_threads.begin(); entry != m_threads.end(); ++entry) {
        if (entry->second->idle()) {
            m_threads.erase(entry);
            return true;
        }
    }
    return false;
}

void Connection::runInPlace(const wire::Header& header, const Command* command,
                            std::span<const uint8_t> payload) {
    CommandContext context{m_host,    *m_process, m_server, header.threadId,
                           *m_events, this,       &header,  m_peer};
    thread_local std::vector<uint8_t> reply;
    reply.clear();
    command->execute(context, header, payload, reply);
    if (!reply.empty())
        sendFrame(reply);
}

void Connection::sendReply(const wire::Header& request, const std::vector<uint8_t>& payload) {
    thread_local std::vector<uint8_t> bytes;
    bytes.clear();
    wire::appendFrame(bytes, uint16_t(request.type | wire::kReplyBit), request.requestId,
                      request.threadId, payload);
    sendFrame(bytes);
}

void Connection::sendFrame(std::span<const uint8_t> bytes) {
    std::lock_guard guard(m_writeLock);
    // A client that has gone misses its reply; the reader notices the end on its own.
    writeAll(m_fd, bytes);
}

// Called where a request completes, often a DPC: it must not wait for the socket or for a
// frame another thread is writing. A send that took part of the frame has committed it, so the
// rest follows even if that blocks; a frame that small is taken whole or not at all anyway.
bool Connection::writeWithoutBlocking(std::span<const uint8_t> frame) {
    std::unique_lock guard(m_writeLock, std::try_to_lock);
    if (!guard.owns_lock())
        return false;
    ssize_t n;
    do
        n = ::send(m_fd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno != EAGAIN && errno != EWOULDBLOCK; // any other error: the client has gone
    if (size_t(n) < frame.size())
        writeAll(m_fd, frame.subspan(size_t(n)));
    return true;
}

// As for a process that exits: pending requests cancelled, then every handle cleaned up and
// closed. Request threads still busy find the process terminating, so each joins promptly.
void Connection::end() {
    ::shutdown(m_fd, SHUT_RDWR);
    // A request thread waiting for an event returns at once instead of at its time-out.
    m_events->unsubscribeAll();
    for (auto& [id, thread] : m_threads)
        thread->stop();
    size_t handles = m_process->handleCount();
    m_process->terminate();
    m_threads.clear();
    m_events.reset();
    m_process.reset();
    logLine("connection %llu: ended, %zu handle(s) left open were closed",
            (unsigned long long)m_number, handles);
    m_ended = true;
    if (m_onEnd)
        m_onEnd();
}

} // namespace vornhost
