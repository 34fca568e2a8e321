// Holding log lines back while a lock is held.
//
// The log sink is the application's code, and an application may call the
// SDK from it (the getters, connectionStatus). A line written while the
// handler mutex is held (an engine warning inside an engine call, a render on
// a stream thread) must therefore not reach the sink before the mutex is
// released, or that call would wait for a mutex its own thread holds.
//
// A LogHold keeps every line that the thread emits while it lives; when the
// thread's outermost hold ends, the kept lines go to the sink in the order
// they were written, on the same thread. Holds nest. Nothing is lost: a kept
// line is a copy of its level, tag and text. The storage is per thread and
// keeps its capacity, so a hold allocates only while a thread's storage
// grows: taking and ending holds, and keeping lines no longer than earlier
// ones, allocates nothing (the real-time paths rely on this).
//
// Back-ends take the handler mutex through HandlerLock, which takes the hold
// before the mutex and ends it after the mutex is released:
//
//     {
//         vbz::HandlerLock lock(handlerMutex());
//         engine.sequence_stop(id, 0.0);   // its warning is kept ...
//     }                                    // ... and delivered here
//
// Threads: every function works on the calling thread's own storage.
#pragma once

#include <mutex>

namespace vbz {

class LogHold {
public:
    LogHold() noexcept;
    // Ends the hold unless release() already did.
    ~LogHold();
    LogHold(const LogHold&) = delete;
    LogHold& operator=(const LogHold&) = delete;

    // Ends the hold now (delivering the kept lines when it was the outermost
    // one); later calls and the destructor do nothing until retake().
    void release() noexcept;
    // Opens the hold again after release().
    void retake() noexcept;

    // True while a hold is open on this thread.
    static bool active() noexcept;
    // Keeps a copy of the line for the end of the outermost hold. Used by the
    // facade's emission; a line that cannot be stored (memory exhausted) is
    // dropped and counted like a nested one.
    static void keep(int level, const char* tag, const char* text) noexcept;

private:
    bool open_ = false;
};

// The handler mutex taken together with a LogHold: the hold is taken first and
// ends last, so lines written while the mutex is held reach the sink after it
// is released. Use it wherever the handler mutex is taken.
class HandlerLock {
public:
    explicit HandlerLock(std::mutex& mutex) : lock_(mutex) {}

    // Releases the mutex, then delivers the lines kept so far (when no outer
    // hold is open on this thread). relock() takes both again.
    void unlock() {
        lock_.unlock();
        hold_.release();
    }
    void relock() {
        hold_.retake();
        lock_.lock();
    }
    // For condition-variable waits. Lines written before such a wait stay
    // kept until the scope ends or unlock(): a loop that waits long should
    // unlock() before it waits.
    std::unique_lock<std::mutex>& lock() { return lock_; }

private:
    // Declared first: constructed before the mutex is taken, destroyed after
    // it is released.
    LogHold hold_;
    std::unique_lock<std::mutex> lock_;
};

}  // namespace vbz
