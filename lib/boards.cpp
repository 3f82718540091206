// Process-wide channel choice and the table of open boards.
#include "boards.h"

#include <mutex>
#include <unordered_map>
#include <utility>

namespace vornlib {

namespace {

struct LibraryState {
    std::mutex mutex;
    std::shared_ptr<vornhost::DeviceChannel> channel;
    std::unordered_map<BoardRecord*, std::shared_ptr<Board>> boards;

    // Boards a program left open are closed before the host goes, so an in-process host can
    // unload its driver at exit without waiting for their handles.
    ~LibraryState() {
        for (auto& [record, board] : boards) {
            board->record.libraryWord = 0;
            board->channel->close(board->deviceHandle);
        }
        boards.clear();
        channel.reset();
    }
};

LibraryState& state() {
    static LibraryState instance;
    return instance;
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
    if (!s.channel)
        s.channel = chooseDefaultChannel();
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
