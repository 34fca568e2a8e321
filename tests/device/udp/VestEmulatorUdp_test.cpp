// The command-line emulator serving over UDP, reached by the Wi-Fi
// transport: the program runs in the vest's namespace of a veth pair (a
// process started from a namespace's thread belongs to that namespace).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "device/HidComUdp.h"
#include "tests/support/LogCapture.h"
#include "tests/support/NetNamespace.h"

extern char** environ;

namespace {

// The emulator program, with its standard output on a pipe.
class EmulatorProcess {
public:
    explicit EmulatorProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> argv;
        args.insert(args.begin(), VBZ_VEST_EMULATOR);
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, VBZ_VEST_EMULATOR, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        stdout_ = out[0];
    }
    ~EmulatorProcess() {
        if (pid_ > 0) stop();
        if (stdout_ >= 0) ::close(stdout_);
    }
    bool started() const { return pid_ > 0; }
    // The first line the program writes (it says where it serves), waiting
    // for it at most 10 s.
    std::string firstLine() {
        std::string line;
        char c = 0;
        pollfd p{stdout_, POLLIN, 0};
        while (poll(&p, 1, 10000) == 1 && ::read(stdout_, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    // Stops it as a user would and returns its exit status (-1 if killed).
    int stop() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
};

}  // namespace

TEST(VestEmulatorOverUdp, OldFirmwareVestIsDiscoveredBoundAndReleased) {
    vbz_test::LogCapture log;
    vbz_test::VethPair net;
    VBZ_REQUIRE_NETNS(net);
    std::unique_ptr<EmulatorProcess> emulator;
    net.vest().run([&] {
        emulator = std::make_unique<EmulatorProcess>(std::vector<std::string>{
            "--udp", "0.0.0.0:17956", "--serial", "11223344", "--old-firmware",
            "--discover-status", "2"});
    });
    ASSERT_TRUE(emulator->started());
    ASSERT_EQ(emulator->firstLine(), "serving on 0.0.0.0:17956");

    const std::string key = vbz_test::ipv4Text(vbz_test::VethPair::kVestAddress) + ":17956";
    net.host().run([&] {
        vbz::HidComUdp t;
        ASSERT_EQ(t.open(11223344, ""), 0);
        EXPECT_TRUE(t.isBound());
        EXPECT_EQ(t.close(), 0);
    });
    EXPECT_TRUE(log.has("WIFIStandalone", "A device answered on " + key, 0));
    EXPECT_EQ(log.count("WIFIStandalone", "Firmware prior 1.3.3 detected, an update is advised."), 1);
    EXPECT_TRUE(log.has("WIFIStandalone", "Connected to " + key, 0));
    // Exit status 0: every frame the host sent was well formed.
    EXPECT_EQ(emulator->stop(), 0);
}
