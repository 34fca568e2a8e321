#include "tests/support/jack/RefusingJackOpen.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <string>

#include <jack/jack.h>

namespace {
std::mutex armedMutex;
std::string armed;  // the client whose next open is refused; empty: none
std::atomic<bool> refused{false};
}  // namespace

namespace vbz_test {

void refuseNextJackOpen(const char* clientName) {
    const std::lock_guard<std::mutex> lock(armedMutex);
    armed = clientName;
}

bool jackOpenWasRefused() { return refused.exchange(false); }

}  // namespace vbz_test

// Visible whatever the build's default, so that libjack's and PortAudio's
// calls reach it.
extern "C" __attribute__((visibility("default"))) jack_client_t* jack_client_open(const char* name, jack_options_t options, jack_status_t* status, ...) {
    using Open = jack_client_t* (*)(const char*, jack_options_t, jack_status_t*, ...);
    static const auto real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "jack_client_open"));
    {
        const std::lock_guard<std::mutex> lock(armedMutex);
        if (!armed.empty() && name && armed == name) {
            armed.clear();
            refused.store(true);
            if (status) *status = static_cast<jack_status_t>(JackFailure | JackServerError);
            return nullptr;
        }
    }
    return real ? real(name, options, status) : nullptr;
}
