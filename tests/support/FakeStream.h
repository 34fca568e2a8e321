// A scripted stream for back-end tests: connect answers as told (and may
// hold until released), run blocks until stop, scanDevices may hold until
// released, and the calls are counted. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "streaming/IStream.h"

namespace vbz_test {

class FakeStream : public vbz::IStream {
public:
    struct Script {
        int kind = 1;
        int connectResult = 0;
        unsigned serial = 1234;
        bool holdConnect = false;  // connect waits for releaseConnect()
        bool holdScan = false;     // scanDevices waits for releaseScan()
        int runResult = 0;
    };

    FakeStream(vbz::AbstractCore* source, std::mutex* mutex, IHandler* owner, Script script)
        : IStream(source, mutex, owner), script_(script) {}

    int kind() override { return script_.kind; }
    int scanDevices(vbz_output_t) override {
        std::unique_lock<std::mutex> lock(m_);
        ++scans;
        cv_.notify_all();
        cv_.wait_for(lock, std::chrono::seconds(20), [&] { return !script_.holdScan || scanReleased_; });
        return 0;
    }
    vbz_device_info_t* getFirstScannedDevice() override { return nullptr; }
    int connect(vbz_output_t, unsigned serialNumber) override {
        std::unique_lock<std::mutex> lock(m_);
        ++connects;
        asked = serialNumber;
        cv_.notify_all();
        cv_.wait_for(lock, std::chrono::seconds(20), [&] { return !script_.holdConnect || connectReleased_; });
        if (script_.connectResult >= 0) connected_ = true;
        return script_.connectResult;
    }
    int stop() override {
        std::lock_guard<std::mutex> lock(m_);
        stopped_ = true;
        cv_.notify_all();
        return 0;
    }
    int run() override {
        std::unique_lock<std::mutex> lock(m_);
        running_ = true;
        cv_.notify_all();
        cv_.wait(lock, [&] { return stopped_; });
        running_ = false;
        return script_.runResult;
    }
    unsigned getVibrenzaSerialNumber() override {
        std::lock_guard<std::mutex> lock(m_);
        return connected_ ? script_.serial : 0xFFFFFFFFu;
    }
    std::string getVibrenzaVersion() override { return "fake"; }
    int getVibrenzaType() override { return -1; }
    int reset() override {
        std::lock_guard<std::mutex> lock(m_);
        stopped_ = false;
        return 0;
    }

    void releaseScan() {
        std::lock_guard<std::mutex> lock(m_);
        scanReleased_ = true;
        cv_.notify_all();
    }
    void releaseConnect() {
        std::lock_guard<std::mutex> lock(m_);
        connectReleased_ = true;
        cv_.notify_all();
    }
    // Waits (bounded) until pred holds under the stream's lock.
    template <class Pred>
    bool waitUntil(Pred pred) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return pred(*this); });
    }
    bool running() const { return running_; }

    int scans = 0, connects = 0;
    unsigned asked = 0;

private:
    Script script_;
    std::mutex m_;
    std::condition_variable cv_;
    bool scanReleased_ = false, connectReleased_ = false, stopped_ = false, running_ = false, connected_ = false;
};

}  // namespace vbz_test
