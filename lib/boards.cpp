// Process-wide channel choice and the table of open boards.
#include "boards.h"

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

namespace vornlib {

namespace {

struct LibraryState {
    std::mutex mutex;
    std::shared_ptr<vornhost::DeviceChannel> channel;
    std::string socketPath; // the daemon's, when the channel leads to one
    std::unordered_map<BoardRecord*, std::shared_ptr<Board>> boards;
};

LibraryState& state() {
    static LibraryState instance;
    return instance;
}

// At exit, boards a program left open are closed and the host taken down while the kernel
// layer's own static objects still stand (the handler is registered after the first host
// booted, so it runs before they go). It runs on a thread of its own because the exiting
// thread's thread-local storage is already gone.
void closeEverythingAtExit() {
    std::thread([] {
        LibraryState& s = state();
        std::unordered_map<BoardRecord*, std::shared_ptr<Board>> boards;
        std::shared_ptr<vornhost::DeviceChannel> channel;
        {
            std::lock_guard lock(s.mutex);
            boards.swap(s.boards);
            channel = std::move(s.channel);
            s.socketPath.clear();
        }
        for (auto& [record, board] : boards) {
            board->record.libraryWord = 0;
            const Route route = board->route();
            if (!route.gone)
                route.channel->close(route.deviceHandle);
        }
        boards.clear();
        channel.reset();
    }).join();
}

void closeAtExitOnce() {
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(closeEverythingAtExit); });
}

// Called with the state locked, so that no other thread of the library reads the environment.
void chooseDefaultChannel(LibraryState& s) {
    const char* named = std::getenv(kHostSocketVariable);
    const std::string socketPath =
        named != nullptr && *named != '\0' ? named : vornhost::defaultSocketPath();
    s.channel = vornhost::connectDaemon(socketPath);
    s.socketPath = s.channel ? socketPath : std::string();
    if (!s.channel)
        s.channel = vornhost::openInProcessChannel(vornhost::defaultMachine());
}

} // namespace

std::shared_ptr<vornhost::DeviceChannel> currentChannel() {
    LibraryState& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.channel) {
        chooseDefaultChannel(s);
        if (s.channel)
            closeAtExitOnce();
    }
    return s.channel;
}

bool replaceChannel(std::shared_ptr<vornhost::DeviceChannel> channel, std::string socketPath) {
    LibraryState& s = state();
    std::shared_ptr<vornhost::DeviceChannel> old;
    {
        std::lock_guard lock(s.mutex);
        if (!s.boards.empty())
            return false;
        old = std::exchange(s.channel, std::move(channel));
        s.socketPath = s.channel ? std::move(socketPath) : std::string();
        if (s.channel)
            closeAtExitOnce();
    }
    // The old host goes down outside the lock: unloading a driver takes a while.
    old.reset();
    return true;
}

HostLink hostLink() {
    LibraryState& s = state();
    std::lock_guard lock(s.mutex);
    return {s.channel, s.socketPath};
}

bool adoptChannel(const std::shared_ptr<vornhost::DeviceChannel>& lost,
                  std::shared_ptr<vornhost::DeviceChannel> fresh) {
    LibraryState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.channel != lost)
        return false;
    s.channel = std::move(fresh);
    return true;
}

std::vector<std::shared_ptr<Board>>
boardsOn(const std::shared_ptr<vornhost::DeviceChannel>& channel) {
    LibraryState& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<std::shared_ptr<Board>> found;
    for (const auto& [record, board] : s.boards)
        if (board->route().channel == channel)
            found.push_back(board);
    return found;
}

// Under the table's lock, so that a close either sees the new route or has already taken the
// board out, and then the caller closes what it opened.
bool setRouteIfOpen(Board& board, Route route) {
    LibraryState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.boards.find(&board.record) == s.boards.end())
        return false;
    board.setRoute(std::move(route));
    return true;
}

BoardHandle addBoard(std::shared_ptr<Board> board) {
    LibraryState& s = state();
    board->record.libraryWord = kRecordTag;
    BoardRecord* record = &board->record;
    std::lock_guard lock(s.mutex);
    s.boards.emplace(record, std::move(board));
    return record;
}

std::shared_ptr<Board> findBoard(BoardHandle handle) {
    LibraryState& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.boards.find(handle);
    return it == s.boards.end() ? nullptr : it->second;
}

std::shared_ptr<Board> removeBoard(BoardHandle handle) {
    LibraryState& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.boards.find(handle);
    if (it == s.boards.end())
        return nullptr;
    std::shared_ptr<Board> board = std::move(it->second);
    s.boards.erase(it);
    board->record.libraryWord = 0;
    return board;
}

size_t boardCount() {
    LibraryState& s = state();
    std::lock_guard lock(s.mutex);
    return s.boards.size();
}

} // namespace vornlib
