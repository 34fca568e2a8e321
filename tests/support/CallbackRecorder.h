// Records every connection callback: its arguments, its thread, whether the
// handler mutex was free while it ran, and the state it read back. Pass a
// pointer to it as the callback's user data.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "sdk/core/IHandler.h"

namespace vbz_test {

struct ConnectionReport {
    int state;
    int error;
    unsigned int serial;
    std::thread::id thread;
    bool handlerMutexFree;
    int statusSeen;
};

class CallbackRecorder {
public:
    // handler: whose mutex and status the callback probes (may be null).
    std::function<IHandler*()> handler;
    // Runs inside the callback after the probes (may be empty).
    std::function<void(const ConnectionReport&)> onReport;

    static void callback(vbz_connection_state_t state, vbz_error_t error, unsigned int serial,
                         void* userData) {
        auto* self = static_cast<CallbackRecorder*>(userData);
        ConnectionReport report{state, error, serial, std::this_thread::get_id(), true, -99};
        if (self->handler) {
            if (IHandler* h = self->handler()) {
                report.handlerMutexFree = h->handlerMutex().try_lock();
                if (report.handlerMutexFree) h->handlerMutex().unlock();
                report.statusSeen = h->connectionStatus();
            }
        }
        if (self->onReport) self->onReport(report);
        // Notified under the lock: once a waiter has seen this report, the
        // callback no longer touches the recorder, which may then go.
        std::lock_guard<std::mutex> lock(self->m_);
        self->reports_.push_back(report);
        self->cv_.notify_all();
    }

    // Waits (bounded) until at least n reports arrived; returns them.
    std::vector<ConnectionReport> waitFor(size_t n) {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait_for(lock, std::chrono::seconds(20), [&] { return reports_.size() >= n; });
        return reports_;
    }
    std::vector<ConnectionReport> reports() {
        std::lock_guard<std::mutex> lock(m_);
        return reports_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<ConnectionReport> reports_;
};

}  // namespace vbz_test
