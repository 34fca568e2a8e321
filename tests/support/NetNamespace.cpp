#include "tests/support/NetNamespace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace vbz_test {

namespace {

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

ino_t netnsInode() {
    struct stat s {};
    return stat("/proc/self/ns/net", &s) == 0 ? s.st_ino : 0;
}

// Leaves the starting namespace before main, while the process has one
// thread; every thread made later starts in the empty namespace.
//
// When VBZ_NETNS_AUDIT names a file, one line is appended to it per process:
// "<executable> isolated=<0|1> start=<inode> now=<inode>", the inodes of the
// network namespace the process started in and the one it runs in. The test
// command (scripts/netns.sh audit) checks from it that every test binary
// that can reach discovery ran outside the namespace it was started in.
struct ProcessIsolation {
    bool ok = false;
    std::string why;
    ProcessIsolation() {
        const ino_t before = netnsInode();
        if (unshare(CLONE_NEWNET) != 0) {
            why = systemError("unshare(CLONE_NEWNET)");
        } else {
            ok = before != 0 && netnsInode() != 0 && before != netnsInode();
            if (!ok) why = "the network namespace did not change";
        }
        audit(before);
    }
    void audit(ino_t before) const {
        const char* file = std::getenv("VBZ_NETNS_AUDIT");
        if (!file || !*file) return;
        char exe[4096] = {};
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0) return;
        const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return;
        char line[4200];
        const int length = std::snprintf(line, sizeof line, "%s isolated=%d start=%lu now=%lu\n", exe,
                                         ok ? 1 : 0, static_cast<unsigned long>(before),
                                         static_cast<unsigned long>(netnsInode()));
        if (length > 0 && ::write(fd, line, static_cast<std::size_t>(length)) < 0) {
            // Nothing to do: the audit then misses this process and fails.
        }
        ::close(fd);
    }
};

ProcessIsolation& isolation() {
    static ProcessIsolation p;
    return p;
}
[[maybe_unused]] const bool kIsolatedBeforeMain = isolation().ok;

// A process that could not leave its namespace runs no test at all, not
// even one that forgot to ask for a namespace of its own.
class RequireIsolation : public ::testing::Environment {
public:
    void SetUp() override {
        // gtest counts tests skipped here as passed; this line makes ctest
        // report them as skipped.
        if (!isolation().ok && netnsRequired()) {
            // gtest would go on and report every test as skipped, which
            // ctest counts as skipped whatever the exit status: stop here.
            std::fprintf(stderr,
                         "FAILED: the test process could not leave its network namespace "
                         "although VBZ_REQUIRE_NETNS=1 (%s)\n",
                         isolation().why.c_str());
            std::fflush(stdout);
            std::_Exit(1);
        }
        if (!isolation().ok) std::printf("[  SKIPPED ] every test of this process\n");
        if (!isolation().ok)
            GTEST_SKIP() << "SKIPPED, network namespace unavailable (run as root to test over "
                            "real sockets): the test process could not leave its network "
                            "namespace ("
                         << isolation().why << ")";
    }
};
[[maybe_unused]] ::testing::Environment* const kRequireIsolation =
    ::testing::AddGlobalTestEnvironment(new RequireIsolation);

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

bool copyName(ifreq& r, const std::string& name) {
    if (name.empty() || name.size() >= IFNAMSIZ) return false;
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.ifr_name, name.c_str(), name.size());
    return true;
}

std::string setUp(int fd, const std::string& name) {
    ifreq r{};
    if (!copyName(r, name)) return "bad interface name " + name;
    if (ioctl(fd, SIOCGIFFLAGS, &r) < 0) return systemError("SIOCGIFFLAGS " + name);
    r.ifr_flags = static_cast<short>(r.ifr_flags | IFF_UP);
    if (ioctl(fd, SIOCSIFFLAGS, &r) < 0) return systemError("SIOCSIFFLAGS " + name);
    return "";
}

std::string setIpv4(int fd, const std::string& name, unsigned long request, uint32_t value) {
    ifreq r{};
    if (!copyName(r, name)) return "bad interface name " + name;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(value);
    std::memcpy(&r.ifr_addr, &a, sizeof a);
    if (ioctl(fd, request, &r) < 0) return systemError("address ioctl on " + name);
    return "";
}

// Netlink attribute writing into one request buffer.
struct NetlinkRequest {
    alignas(nlmsghdr) char buffer[1024] = {};
    nlmsghdr* header() { return reinterpret_cast<nlmsghdr*>(buffer); }
    char* tail() { return buffer + NLMSG_ALIGN(header()->nlmsg_len); }
    bool room(std::size_t n) { return NLMSG_ALIGN(header()->nlmsg_len) + n <= sizeof buffer; }
    rtattr* add(unsigned short type, const void* data, std::size_t length) {
        if (!room(RTA_SPACE(length))) return nullptr;
        auto* a = reinterpret_cast<rtattr*>(tail());
        a->rta_type = type;
        a->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
        if (length) std::memcpy(RTA_DATA(a), data, length);
        header()->nlmsg_len = NLMSG_ALIGN(header()->nlmsg_len) + RTA_ALIGN(a->rta_len);
        return a;
    }
    rtattr* begin(unsigned short type) { return add(type, nullptr, 0); }
    void end(rtattr* nest) {
        if (nest)
            nest->rta_len = static_cast<unsigned short>(tail() - reinterpret_cast<char*>(nest));
    }
};

// Creates a veth pair from the calling thread's namespace, the peer going
// straight into the namespace open at peerNamespace.
std::string createVeth(const std::string& name, const std::string& peerName, int peerNamespace) {
    Fd nl(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (nl.fd < 0) return systemError("netlink socket");
    NetlinkRequest q;
    q.header()->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    q.header()->nlmsg_type = RTM_NEWLINK;
    q.header()->nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL | NLM_F_ACK;
    q.header()->nlmsg_seq = 1;
    q.add(IFLA_IFNAME, name.c_str(), name.size() + 1);
    rtattr* info = q.begin(IFLA_LINKINFO);
    q.add(IFLA_INFO_KIND, "veth", 4);
    rtattr* data = q.begin(IFLA_INFO_DATA);
    rtattr* peer = q.begin(VETH_INFO_PEER);
    const ifinfomsg peerInfo{};
    if (!q.room(sizeof peerInfo)) return "netlink request too long";
    std::memcpy(q.tail(), &peerInfo, sizeof peerInfo);
    q.header()->nlmsg_len = NLMSG_ALIGN(q.header()->nlmsg_len) + NLMSG_ALIGN(sizeof peerInfo);
    q.add(IFLA_IFNAME, peerName.c_str(), peerName.size() + 1);
    const uint32_t nsFd = static_cast<uint32_t>(peerNamespace);
    if (!q.add(IFLA_NET_NS_FD, &nsFd, sizeof nsFd)) return "netlink request too long";
    q.end(peer);
    q.end(data);
    q.end(info);

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(nl.fd, q.buffer, q.header()->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0)
        return systemError("netlink send");
    alignas(nlmsghdr) char answer[4096];
    const ssize_t n = recv(nl.fd, answer, sizeof answer, 0);
    if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))))
        return systemError("netlink answer");
    const auto* h = reinterpret_cast<const nlmsghdr*>(answer);
    if (h->nlmsg_type != NLMSG_ERROR) return "netlink: unexpected answer";
    const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
    if (e->error != 0) return std::string("creating the veth pair: ") + std::strerror(-e->error);
    return "";
}

bool interfaceRunning(const std::string& name) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool running = false;
    for (const ifaddrs* i = list; i; i = i->ifa_next)
        if (i->ifa_name && name == i->ifa_name && (i->ifa_flags & IFF_RUNNING)) running = true;
    freeifaddrs(list);
    return running;
}

// Sends datagrams from one namespace to an address of the other until one
// arrives: a link that reports running may still drop its first packets
// while its queue is being set up.
bool linkCarries(NetnsThread& from, NetnsThread& to, uint32_t toAddress) {
    int receiver = -1;
    uint16_t port = 0;
    to.run([&] {
        receiver = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(toAddress);
        socklen_t len = sizeof a;
        if (receiver < 0 || bind(receiver, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ||
            getsockname(receiver, reinterpret_cast<sockaddr*>(&a), &len) < 0)
            return;
        port = ntohs(a.sin_port);
    });
    Fd in(receiver);
    if (port == 0) return false;
    bool arrived = false;
    from.run([&] {
        Fd out(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(toAddress);
        const char probe = 'p';
        for (int i = 0; i < 1000 && !arrived; ++i) {
            sendto(out.fd, &probe, 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            char got = 0;
            arrived = recv(in.fd, &got, 1, MSG_DONTWAIT) == 1;
        }
    });
    return arrived;
}

}  // namespace

std::string runProgram(const std::vector<std::string>& args) {
    if (args.empty()) return "no program";
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (spawned != 0) return args[0] + ": " + std::strerror(spawned);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return systemError("waitpid");
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    return args[0] + " ended with status " + std::to_string(status);
}

bool netnsRequired() {
    const char* v = std::getenv("VBZ_REQUIRE_NETNS");
    return v && std::string(v) == "1";
}

bool processIsolated(std::string* why) {
    if (why) *why = isolation().why;
    return isolation().ok;
}

std::string ipv4Text(uint32_t address) {
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

uint32_t ipv4(const std::string& text) {
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1 ? ntohl(a.s_addr) : 0;
}

// --- NetnsThread -------------------------------------------------------------

NetnsThread::NetnsThread() {
    std::string why;
    if (!processIsolated(&why)) {
        error_ = "the test process could not leave its network namespace (" + why + ")";
        return;
    }
    thread_ = std::thread([this] { loop(); });
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return started_; });
}

NetnsThread::~NetnsThread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void NetnsThread::loop() {
    std::string error;
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    if (unshare(CLONE_NEWNET) != 0) {
        error = systemError("unshare(CLONE_NEWNET)");
    } else {
        Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        error = s.fd < 0 ? systemError("socket") : setUp(s.fd, "lo");
    }
    std::unique_lock<std::mutex> lock(mutex_);
    tid_ = tid;
    ok_ = error.empty();
    error_ = error;
    started_ = true;
    wake_.notify_all();
    if (!ok_) return;  // nothing ever runs outside the new namespace
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || task_; });
        if (task_) {
            const auto* task = task_;
            lock.unlock();
            (*task)();
            lock.lock();
            task_ = nullptr;
            done_ = true;
            wake_.notify_all();
            continue;
        }
        return;
    }
}

void NetnsThread::run(const std::function<void()>& fn) {
    if (!ok_) return;
    std::unique_lock<std::mutex> lock(mutex_);
    task_ = &fn;
    done_ = false;
    wake_.notify_all();
    wake_.wait(lock, [this] { return done_; });
}

std::string NetnsThread::nsPath() const {
    return "/proc/self/task/" + std::to_string(tid_) + "/ns/net";
}

std::string NetnsThread::addAddress(const std::string& interfaceName, uint32_t address,
                                    int prefix) {
    if (!ok_) return error_;
    std::string error;
    run([&] {
        Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (s.fd < 0) {
            error = systemError("socket");
            return;
        }
        const uint32_t mask = prefix <= 0 ? 0 : (0xFFFFFFFFu << (32 - prefix));
        error = setIpv4(s.fd, interfaceName, SIOCSIFADDR, address);
        if (error.empty()) error = setIpv4(s.fd, interfaceName, SIOCSIFNETMASK, mask);
        if (error.empty()) error = setIpv4(s.fd, interfaceName, SIOCSIFBRDADDR, address | ~mask);
        if (error.empty()) error = setUp(s.fd, interfaceName);
    });
    return error;
}

// --- VethPair ----------------------------------------------------------------

const uint32_t VethPair::kVestAddress = 0x0AD50001u;
const uint32_t VethPair::kHostAddress = 0x0AD50002u;
const uint32_t VethPair::kBroadcast = 0x0AD500FFu;

VethPair::VethPair() {
    if (!vest_.ok() || !host_.ok()) {
        error_ = vest_.ok() ? host_.error() : vest_.error();
        return;
    }
    {
        Fd vestNamespace(::open(vest_.nsPath().c_str(), O_RDONLY | O_CLOEXEC));
        if (vestNamespace.fd < 0) {
            error_ = systemError("open " + vest_.nsPath());
            return;
        }
        host_.run([&] { error_ = createVeth(kHostInterface, kVestInterface, vestNamespace.fd); });
    }
    if (error_.empty()) error_ = vest_.addAddress(kVestInterface, kVestAddress, 24);
    if (error_.empty()) error_ = host_.addAddress(kHostInterface, kHostAddress, 24);
    if (!error_.empty()) return;
    // The link reports running once both ends are up; wait for it (a
    // readiness wait, bounded so that a broken rig cannot hang a test).
    bool running = false;
    auto waitRunning = [&running](const char* name) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!(running = interfaceRunning(name)) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    host_.run([&] { waitRunning(kHostInterface); });
    if (running) vest_.run([&] { waitRunning(kVestInterface); });
    if (!running || !linkCarries(host_, vest_, kVestAddress) ||
        !linkCarries(vest_, host_, kHostAddress)) {
        error_ = "the veth pair did not come up";
        return;
    }
    // A veth pair hands packets to the receiving side through per-CPU
    // queues: datagrams sent by a thread that moves between CPUs may arrive
    // out of order. Both sides' threads, and every thread or process they
    // start, stay on one CPU, so datagrams arrive in the order sent.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        int first = 0;
        while (first < CPU_SETSIZE && !CPU_ISSET(first, &allowed)) ++first;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        for (NetnsThread* side : {&vest_, &host_})
            side->run([&] {
                if (sched_setaffinity(0, sizeof one, &one) != 0)
                    error_ = systemError("sched_setaffinity");
            });
    }
    ok_ = error_.empty();
}

// --- DatagramRecorder --------------------------------------------------------

DatagramRecorder::DatagramRecorder(const std::string& interfaceName) {
    const unsigned index = if_nametoindex(interfaceName.c_str());
    if (index == 0) {
        error_ = systemError("interface " + interfaceName);
        return;
    }
    fd_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (fd_ < 0) {
        error_ = systemError("packet socket");
        return;
    }
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_IP);
    at.sll_ifindex = static_cast<int>(index);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) < 0) {
        error_ = systemError("bind packet socket");
        ::close(fd_);
        fd_ = -1;
        return;
    }
    take();  // anything queued before the bind took effect
}

DatagramRecorder::~DatagramRecorder() {
    if (fd_ >= 0) ::close(fd_);
}

std::vector<SeenDatagram> DatagramRecorder::take() {
    std::vector<SeenDatagram> out;
    if (fd_ < 0) return out;
    uint8_t packet[2048];
    for (;;) {
        sockaddr_ll from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            recvfrom(fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) break;
        if (from.sll_pkttype == PACKET_OUTGOING || n < 20 || (packet[0] >> 4) != 4) continue;
        const std::size_t ipHeader = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
        if (packet[9] != IPPROTO_UDP || static_cast<std::size_t>(n) < ipHeader + 8) continue;
        auto u16 = [&](std::size_t at) {
            return static_cast<uint16_t>((packet[at] << 8) | packet[at + 1]);
        };
        auto u32 = [&](std::size_t at) {
            return (static_cast<uint32_t>(u16(at)) << 16) | u16(at + 2);
        };
        SeenDatagram d;
        d.source = u32(12);
        d.destination = u32(16);
        d.sourcePort = u16(ipHeader);
        d.destinationPort = u16(ipHeader + 2);
        const std::size_t udpLength = u16(ipHeader + 4);
        const std::size_t end =
            std::min<std::size_t>(static_cast<std::size_t>(n), ipHeader + std::max<std::size_t>(udpLength, 8));
        d.payload.assign(packet + ipHeader + 8, packet + end);
        out.push_back(std::move(d));
    }
    return out;
}

}  // namespace vbz_test
