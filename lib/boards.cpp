// Process-wide channel choice and the table of open boards.
#include "boards.h"

#include <cstdlib>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

namespace vornlib {

namespace {

struct LibraryState {
    std::mutex mutex;
    std::shared_ptr<vornhost::DeviceChannel> channel;
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
        }
        for (auto& [record, board] : boards) {
            board->record.libraryWord = 0;
            board->channel->close(board->deviceHandle);
        }
        boards.clear();
        channel.reset();
    }).join();
}

void closeAtExitOnce() {
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(closeEverythingAtExit); });
}

std::shared_ptr<vornhost::DeviceChannel> chooseDefaultChannel() {
    std::shared_ptr<vornhost::DeviceChannel> channel =
        vornhost::connectDaemon(vornhost::defaultSocketPath());
    if (!channel)
        channel = vornhost::openInProcessChannel(vornhost::defaultMachine());
    return channel;
}

} // namespace

std::shared_ptr<vornhost::DeviceChannel> currentChannel() {
    LibraryState& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.channel) {
        s.channel = chooseDefaultChannel();
        if (s.channel)
            closeAtExitOnce();
    }
    return s.channel;
}

bool replaceChannel(std::shared_ptr<vornhost::DeviceChannel> channel) {
    LibraryState& s = state();
    std::shared_ptr<vornhost::DeviceChannel> old;
    {
        std::lock_guard lock(s.mutex);
        if (!s.boards.empty())
            return false;
        old = std::exchange(s.channel, std::move(channel));
        if (s.channel)
            closeAtExitOnce();
    }
    // The old host goes down outside the lock: unloading a driver takes a while.
    old.reset();
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
