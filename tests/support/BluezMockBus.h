// A private D-Bus for Bluetooth tests: a dbus-daemon of the test's own,
// listening on a socket in a temporary folder, and on it (unless asked
// not to) a stand-in for bluetoothd: python3-dbusmock's bluez5 template,
// owning org.bluez. Both processes are the test's children and end with the
// fixture (or with the test process). Nothing touches the machine's own
// buses: the children get the private address as their system and session
// bus.
//
// When dbus-daemon or dbusmock cannot run here, ok() is false and
// skipUnlessRequired() skips the test with the reason, or fails it when
// the environment variable VBZ_REQUIRE_DBUS=1 says these tests must run.
//
// Threads: the test's thread only.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

struct sd_bus;

namespace vbz_test {

class BluezMockBus {
public:
    // BluezMock: the bluez5 template. Bare: a dbusmock that owns org.bluez
    // with nothing on it (for answers that no bluetoothd would give; see
    // addMethod). None: the bus alone.
    enum class Daemon { BluezMock, Bare, None };

    explicit BluezMockBus(Daemon daemon = Daemon::BluezMock);
    ~BluezMockBus();
    BluezMockBus(const BluezMockBus&) = delete;
    BluezMockBus& operator=(const BluezMockBus&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    // The bus's D-Bus address ("unix:path=...").
    const std::string& address() const { return address_; }

    // VBZ_REQUIRE_DBUS=1: a bus that is not ok fails the test.
    static bool required();

    // --- bluetoothd's objects (each failure is a test failure) -----------
    // An adapter "hciN" (AddAdapter of the template); its object path.
    std::string addAdapter(const std::string& name, const std::string& alias);
    // A device in range, not paired (AddDevice: it has a signal strength).
    std::string addDevice(const std::string& adapter, const std::string& address,
                          const std::string& name);
    // Marks a device paired (PairDevice), with this class of device.
    void pairDevice(const std::string& adapter, const std::string& address,
                    uint32_t classOfDevice = 0);
    // A device that bluetoothd remembers but does not see now: no signal
    // strength and no class, as after an earlier pairing.
    std::string addRememberedDevice(const std::string& adapter, const std::string& address,
                                    const std::string& name, bool paired, bool trusted);
    // One property of a device object made with addDeviceObject.
    struct Property {
        std::string name;
        char type;  // 's', 'o', 'b' or 'u'
        std::string value;
        uint32_t number = 0;
        static Property text(std::string n, std::string v) { return {std::move(n), 's', std::move(v)}; }
        static Property path(std::string n, std::string v) { return {std::move(n), 'o', std::move(v)}; }
        static Property flag(std::string n, bool v) { return {std::move(n), 'b', {}, v ? 1u : 0u}; }
        static Property u32(std::string n, uint32_t v) { return {std::move(n), 'u', {}, v}; }
    };
    // A device object "<adapter path>/<node>" with exactly these properties
    // (and Adapter); its object path.
    std::string addDeviceObject(const std::string& adapter, const std::string& node,
                                const std::vector<Property>& properties);
    // Adds a method to the object "/" of a Bare mock; code is dbusmock's
    // python (e.g. "ret = 'text'").
    void addMethod(const std::string& interface, const std::string& name,
                   const std::string& inSignature, const std::string& outSignature,
                   const std::string& code);
    void setString(const std::string& path, const std::string& interface,
                   const std::string& name, const std::string& value);
    void setU32(const std::string& path, const std::string& interface, const std::string& name,
                uint32_t value);
    void setBool(const std::string& path, const std::string& interface, const std::string& name,
                 bool value);

private:
    // Starts argv[0] (looked up in PATH) with the private bus as its buses;
    // its output goes to logFile. 0 when it could not start.
    pid_t spawn(const std::vector<std::string>& argv, const std::string& logFile);
    // Waits (boundedly) until fn() is true or the child has exited.
    template <typename F>
    bool waitFor(pid_t child, F&& fn, std::string& why);
    void stop(pid_t& child);
    std::string tail(const std::string& logFile) const;

    TempDir dir_;
    std::string address_;
    std::string error_;
    pid_t daemon_ = 0;
    pid_t mock_ = 0;
    sd_bus* bus_ = nullptr;
};

// A test with a private bus made for it in SetUp (bluetoothd's stand-in on
// it unless the fixture asks for none); skips or fails as said above.
class BluezBusTest : public ::testing::Test {
protected:
    explicit BluezBusTest(BluezMockBus::Daemon daemon = BluezMockBus::Daemon::BluezMock)
        : daemon_(daemon) {}
    void SetUp() override {
        bus = std::make_unique<BluezMockBus>(daemon_);
        if (bus->ok()) return;
        if (BluezMockBus::required()) FAIL() << bus->error() << " (VBZ_REQUIRE_DBUS=1)";
        GTEST_SKIP() << bus->error();
    }
    std::unique_ptr<BluezMockBus> bus;

private:
    BluezMockBus::Daemon daemon_;
};

}  // namespace vbz_test
