// Private network namespaces for tests that open real sockets.
//
// Wi-Fi discovery broadcasts on every interface of the namespace it runs
// in, so nothing that can reach it may run where a packet could leave the
// machine. A test binary that links NetNamespace.cpp:
//  - moves its whole process into a fresh, empty network namespace before
//    main (nothing is up there, not even loopback), so that even a mistake
//    in a test sends nothing off the machine;
//  - makes, per test, namespaces of its own on threads of their own:
//    NetnsThread (only loopback up) and VethPair (two namespaces joined by
//    a veth pair, with addresses inside them only).
// Namespaces disappear with their thread and their last socket, also when
// a test fails; nothing is named in the file system and nothing is left
// behind, so tests may run in parallel.
//
// Without the privilege to make a namespace (root or CAP_SYS_ADMIN) nothing
// runs: tests skip with VBZ_REQUIRE_NETNS and a clear message, or fail when
// the environment variable VBZ_REQUIRE_NETNS=1 says they must run.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vbz_test {

// True when the process left the namespace it was started in before main;
// otherwise why names the reason.
bool processIsolated(std::string* why = nullptr);

// "a.b.c.d" of a host-order IPv4 address, and back (0 when unparsable).
std::string ipv4Text(uint32_t address);
uint32_t ipv4(const std::string& text);

// Runs a program (looked up in PATH) and waits for it: "" when it exited
// with status 0, else what went wrong. A program started from a namespace's
// thread (inside NetnsThread::run) runs in that namespace, e.g.
// {"ip", "route", ...} to shape its routes.
std::string runProgram(const std::vector<std::string>& args);

// A thread in a network namespace of its own with only loopback up. Work
// given to run() executes on that thread, and so do threads it starts:
// sockets and interface lists made there belong to the namespace.
class NetnsThread {
public:
    NetnsThread();
    ~NetnsThread();
    NetnsThread(const NetnsThread&) = delete;
    NetnsThread& operator=(const NetnsThread&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    // Runs fn on the namespace's thread and waits for it; does nothing when
    // the namespace could not be made.
    void run(const std::function<void()>& fn);
    // The namespace, as a path any thread of the process can open.
    std::string nsPath() const;

    // Gives an interface of this namespace an IPv4 address and brings it
    // up. "" or the reason it failed.
    std::string addAddress(const std::string& interfaceName, uint32_t address, int prefix);

private:
    void loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    const std::function<void()>* task_ = nullptr;
    bool done_ = false;
    bool started_ = false;
    bool quit_ = false;
    bool ok_ = false;
    std::string error_;
    pid_t tid_ = 0;
    std::thread thread_;
};

// Two private namespaces joined by a veth pair: the vest side has
// kVestAddress/24 on "vbzvest", the host side kHostAddress/24 on "vbzhost".
// The only broadcast address of the host side is kBroadcast. The threads of
// both sides run on one CPU, and so do the threads and processes they start:
// datagrams then arrive in the order they were sent.
class VethPair {
public:
    static constexpr const char* kVestInterface = "vbzvest";
    static constexpr const char* kHostInterface = "vbzhost";
    static const uint32_t kVestAddress;  // 10.213.0.1
    static const uint32_t kHostAddress;  // 10.213.0.2
    static const uint32_t kBroadcast;    // 10.213.0.255

    VethPair();
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    NetnsThread& vest() { return vest_; }
    NetnsThread& host() { return host_; }

private:
    NetnsThread vest_;
    NetnsThread host_;
    bool ok_ = false;
    std::string error_;
};

// One UDP datagram seen on an interface.
struct SeenDatagram {
    uint32_t source = 0;
    uint16_t sourcePort = 0;
    uint32_t destination = 0;
    uint16_t destinationPort = 0;
    std::vector<uint8_t> payload;
};

// Records the UDP datagrams that arrive on one interface of a namespace,
// in arrival order (a packet socket; outgoing packets are left out).
// Construct it inside the namespace (NetnsThread::run).
class DatagramRecorder {
public:
    explicit DatagramRecorder(const std::string& interfaceName);
    ~DatagramRecorder();
    DatagramRecorder(const DatagramRecorder&) = delete;
    DatagramRecorder& operator=(const DatagramRecorder&) = delete;
    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    // Everything that arrived since the last call.
    std::vector<SeenDatagram> take();

private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace vbz_test

namespace vbz_test {
// True when VBZ_REQUIRE_NETNS=1 asks for a failure instead of a skip where a
// namespace cannot be made (the test command sets it: there the tests must
// run for real).
bool netnsRequired();
}  // namespace vbz_test

// Skips the test, with the reason, when the namespace could not be made
// (fails it instead when netnsRequired()).
#define VBZ_REQUIRE_NETNS(ns)                                                              \
    do {                                                                                   \
        if (!(ns).ok()) {                                                                  \
            if (::vbz_test::netnsRequired())                                               \
                GTEST_FAIL() << "network namespace unavailable although VBZ_REQUIRE_NETNS=1: " \
                             << (ns).error();                                              \
            GTEST_SKIP() << "SKIPPED, network namespace unavailable (run as root to test "  \
                            "over real sockets): "                                         \
                         << (ns).error();                                                  \
        }                                                                                  \
    } while (0)
