// Serves a vest over a connected stream socket: the vest's side of a
// Bluetooth RFCOMM link, which tests stand in for with one end of a Unix
// socket pair. The host's bytes are cut into frames by the command lengths
// that the vest knows (an unknown id is handed over as one byte, which the
// vest answers with a device error); the vest's frames are written as they
// fall due. A thread of its own does both until the host closes its end or
// the adapter is destroyed.
//
// How the frames go out can be chosen, to show the host what a stream does:
// frames due together in one write, or every write cut into pieces.
//
// Threads: every public function may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/vest-emulator/VestModel.h"

namespace vbz::emu {

class StreamAdapter {
public:
    struct Options {
        // Frames that are due together go out in one write; else one each.
        bool coalesce = true;
        // When not 0, each write is cut into pieces of this many bytes with
        // a pause between them.
        std::size_t pieceBytes = 0;
        std::chrono::milliseconds piecePause{5};
    };

    // Takes over fd (a connected stream socket) and starts serving.
    StreamAdapter(std::shared_ptr<VestModel> vest, int fd, Options options);
    StreamAdapter(std::shared_ptr<VestModel> vest, int fd)
        : StreamAdapter(std::move(vest), fd, Options{}) {}
    // Stops serving and closes the socket.
    ~StreamAdapter();
    StreamAdapter(const StreamAdapter&) = delete;
    StreamAdapter& operator=(const StreamAdapter&) = delete;

    // Writes these bytes as they are (garbage, half frames), in turn with
    // the vest's frames.
    void sendRaw(std::vector<uint8_t> bytes);
    // Breaks the link from the vest's side (a vest switched off).
    void hangUp();
    // The host has closed its end (or the link broke).
    bool finished() const { return finished_.load(); }
    std::size_t bytesReceived() const { return bytesReceived_.load(); }

private:
    void run();
    // False when the link is gone.
    bool writeAll(const std::vector<uint8_t>& bytes);
    void takeHostFrames();

    std::shared_ptr<VestModel> vest_;
    int fd_;
    Options options_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<std::size_t> bytesReceived_{0};
    std::mutex rawMutex_;
    std::vector<std::vector<uint8_t>> raw_;
    std::vector<uint8_t> inbox_;  // thread only
    std::thread thread_;
};

}  // namespace vbz::emu
