#include "tests/support/BluezMockBus.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace vbz_test {

namespace {
// Starting python and dbusmock can take seconds on a loaded machine (or
// under the sanitizers); a bus that is not there by then is not coming.
constexpr auto kStartLimit = std::chrono::seconds(30);

// A python that has dbusmock: Debian's, whatever python3 comes first in PATH.
std::string python() {
    if (::access("/usr/bin/python3", X_OK) == 0) return "/usr/bin/python3";
    return "python3";
}

sd_bus* connect(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    // A bus that accepted the connection but does not answer is no bus.
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "GetId", &error, nullptr, "");
    sd_bus_error_free(&error);
    if (r < 0) {
        sd_bus_flush_close_unref(bus);
        return nullptr;
    }
    return bus;
}

bool nameHasOwner(sd_bus* bus, const char* name) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int owned = 0;
    const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                                     name);
    if (r >= 0) sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r >= 0 && owned;
}

// Fails the test with the D-Bus error of a call.
bool called(int r, sd_bus_error& error, const std::string& what) {
    if (r >= 0) {
        sd_bus_error_free(&error);
        return true;
    }
    ADD_FAILURE() << what << ": " << (error.name ? error.name : "") << " "
                  << (error.message ? error.message : std::strerror(-r));
    sd_bus_error_free(&error);
    return false;
}
}  // namespace

BluezMockBus::BluezMockBus(Daemon daemon) {
    if (dir_.path().empty()) {
        error_ = "cannot make a temporary folder";
        return;
    }
    const std::string socket = (dir_.path() / "bus").string();
    address_ = "unix:path=" + socket;
    const std::string config = (dir_.path() / "bus.conf").string();
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>" << address_ << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";

    const std::string daemonLog = (dir_.path() / "dbus-daemon.log").string();
    daemon_ = spawn({"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile"},
                    daemonLog);
    std::string why;
    if (!daemon_ ||
        !waitFor(daemon_, [&] { return (bus_ = connect(address_)) != nullptr; }, why)) {
        error_ = "dbus-daemon cannot run here (" + (why.empty() ? "cannot fork" : why) + ")" +
                 tail(daemonLog);
        return;
    }
    if (daemon == Daemon::None) return;

    const std::string mockLog = (dir_.path() / "dbusmock.log").string();
    const std::vector<std::string> mock =
        daemon == Daemon::Bare
            ? std::vector<std::string>{python(), "-m", "dbusmock", "org.bluez", "/", "org.bluez.Mock"}
            : std::vector<std::string>{python(), "-m", "dbusmock", "--template", "bluez5"};
    mock_ = spawn(mock, mockLog);
    if (!mock_ || !waitFor(mock_, [&] { return nameHasOwner(bus_, "org.bluez"); }, why))
        error_ = "python3-dbusmock's bluez5 template cannot run here (" +
                 (why.empty() ? "cannot fork" : why) + ")" + tail(mockLog);
}

BluezMockBus::~BluezMockBus() {
    if (bus_) sd_bus_flush_close_unref(bus_);
    stop(mock_);
    stop(daemon_);
}

bool BluezMockBus::required() {
    const char* require = std::getenv("VBZ_REQUIRE_DBUS");
    return require && std::string(require) == "1";
}

pid_t BluezMockBus::spawn(const std::vector<std::string>& argv, const std::string& logFile) {
    // Everything the child needs is made before fork: after it, the child
    // only redirects its output and executes.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        if (entry.rfind("DBUS_SYSTEM_BUS_ADDRESS=", 0) == 0 ||
            entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0 ||
            entry.rfind("DBUS_STARTER_", 0) == 0)
            continue;
        env.push_back(entry);
    }
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + address_);
    env.push_back("DBUS_SESSION_BUS_ADDRESS=" + address_);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int out = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t parent = ::getpid();

    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(126);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    if (out >= 0) ::close(out);
    return child > 0 ? child : 0;
}

template <typename F>
bool BluezMockBus::waitFor(pid_t child, F&& fn, std::string& why) {
    const auto limit = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < limit) {
        if (fn()) return true;
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            if (child == daemon_) daemon_ = 0;
            if (child == mock_) mock_ = 0;
            why = WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                                    : "ended by a signal";
            if (WIFEXITED(status) && WEXITSTATUS(status) == 127) why += ": not installed?";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    why = "not ready after " + std::to_string(kStartLimit.count()) + " s";
    return false;
}

void BluezMockBus::stop(pid_t& child) {
    if (child <= 0) return;
    ::kill(child, SIGTERM);
    int status = 0;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > limit) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    child = 0;
}

std::string BluezMockBus::tail(const std::string& logFile) const {
    std::ifstream in(logFile);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    if (text.empty()) return "";
    if (text.size() > 600) text = "..." + text.substr(text.size() - 600);
    return ": " + text;
}

// A method of the bluez5 template's org.bluez.Mock that answers an object
// path as text; "" (and a test failure) when it fails.
template <typename... Args>
std::string mockPathCall(sd_bus* bus, const char* method, const char* types, Args... args) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const char* path = nullptr;
    int r = sd_bus_call_method(bus, "org.bluez", "/", "org.bluez.Mock", method, &error, &reply,
                               types, args...);
    if (r >= 0) r = sd_bus_message_read(reply, "s", &path);
    std::string result = r >= 0 && path ? path : "";
    sd_bus_message_unref(reply);
    called(r, error, method);
    return result;
}

std::string BluezMockBus::addAdapter(const std::string& name, const std::string& alias) {
    return mockPathCall(bus_, "AddAdapter", "ss", name.c_str(), alias.c_str());
}

std::string BluezMockBus::addDevice(const std::string& adapter, const std::string& address,
                                    const std::string& name) {
    return mockPathCall(bus_, "AddDevice", "sss", adapter.c_str(), address.c_str(), name.c_str());
}

void BluezMockBus::pairDevice(const std::string& adapter, const std::string& address,
                              uint32_t classOfDevice) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus_, "org.bluez", "/", "org.bluez.Mock", "PairDevice",
                                     &error, nullptr, "ssi", adapter.c_str(), address.c_str(),
                                     static_cast<int32_t>(classOfDevice));
    called(r, error, "PairDevice " + address);
}

std::string BluezMockBus::addRememberedDevice(const std::string& adapter,
                                              const std::string& address, const std::string& name,
                                              bool paired, bool trusted) {
    std::string node = "dev_" + address;
    for (char& c : node)
        if (c == ':') c = '_';
    return addDeviceObject(adapter, node,
                           {Property::text("Address", address), Property::text("Name", name),
                            Property::text("Alias", name), Property::flag("Paired", paired),
                            Property::flag("Trusted", trusted), Property::flag("Connected", false),
                            Property::flag("Blocked", false)});
}

std::string BluezMockBus::addDeviceObject(const std::string& adapter, const std::string& node,
                                          const std::vector<Property>& properties) {
    const std::string adapterPath = "/org/bluez/" + adapter;
    const std::string path = adapterPath + "/" + node;
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &call, "org.bluez", "/",
                                           "org.freedesktop.DBus.Mock", "AddObject");
    // AddObject(path, interface, properties a{sv}, methods a(ssss)).
    if (r >= 0) r = sd_bus_message_append(call, "ss", path.c_str(), "org.bluez.Device1");
    if (r >= 0) r = sd_bus_message_open_container(call, 'a', "{sv}");
    auto append = [&](const Property& p) {
        if (r >= 0) r = sd_bus_message_open_container(call, 'e', "sv");
        if (r >= 0) r = sd_bus_message_append(call, "s", p.name.c_str());
        if (r < 0) return;
        switch (p.type) {
            case 'b': r = sd_bus_message_append(call, "v", "b", static_cast<int>(p.number)); break;
            case 'u': r = sd_bus_message_append(call, "v", "u", p.number); break;
            case 'o': r = sd_bus_message_append(call, "v", "o", p.value.c_str()); break;
            default: r = sd_bus_message_append(call, "v", "s", p.value.c_str()); break;
        }
        if (r >= 0) r = sd_bus_message_close_container(call);
    };
    append(Property::path("Adapter", adapterPath));
    for (const Property& p : properties) append(p);
    if (r >= 0) r = sd_bus_message_close_container(call);
    if (r >= 0) r = sd_bus_message_append(call, "a(ssss)", 0);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (r >= 0) r = sd_bus_call(bus_, call, 0, &error, nullptr);
    sd_bus_message_unref(call);
    called(r, error, "AddObject " + path);
    return path;
}

void BluezMockBus::addMethod(const std::string& interface, const std::string& name,
                             const std::string& inSignature, const std::string& outSignature,
                             const std::string& code) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus_, "org.bluez", "/", "org.freedesktop.DBus.Mock",
                                     "AddMethod", &error, nullptr, "sssss", interface.c_str(),
                                     name.c_str(), inSignature.c_str(), outSignature.c_str(),
                                     code.c_str());
    called(r, error, "AddMethod " + name);
}

// Properties.Set of one property, its value a variant of this type.
template <typename T>
void setVariant(sd_bus* bus, const std::string& path, const std::string& interface,
                const std::string& name, const char* type, T value) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus, "org.bluez", path.c_str(),
                                     "org.freedesktop.DBus.Properties", "Set", &error, nullptr,
                                     "ssv", interface.c_str(), name.c_str(), type, value);
    called(r, error, "Set " + name);
}

void BluezMockBus::setString(const std::string& path, const std::string& interface,
                             const std::string& name, const std::string& value) {
    setVariant(bus_, path, interface, name, "s", value.c_str());
}

void BluezMockBus::setU32(const std::string& path, const std::string& interface,
                          const std::string& name, uint32_t value) {
    setVariant(bus_, path, interface, name, "u", value);
}

void BluezMockBus::setBool(const std::string& path, const std::string& interface,
                           const std::string& name, bool value) {
    setVariant(bus_, path, interface, name, "b", static_cast<int>(value));
}

}  // namespace vbz_test
