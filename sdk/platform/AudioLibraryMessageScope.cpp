#include "sdk/platform/AudioLibraryMessageScope.h"

#include <cstdarg>
#include <mutex>

// alsa/error.h declares snd_lib_error_set_local outside its own extern "C".
extern "C" {
#include <alsa/error.h>
}
#include <jack/jack.h>

namespace vbz {

namespace {

void dropAlsaMessage(const char*, int, const char*, int, const char*, va_list) {}
void dropJackMessage(const char*) {}

using JackMessageFunction = void (*)(const char*);
using JackSetter = void (*)(JackMessageFunction);

// Installs the drop function when libjack's default one (which prints to
// stderr) is in place, and returns it to put back; leaves anything else in
// place and returns null. libjack has no getter for its default, but setting
// null restores it.
JackMessageFunction quietJack(JackSetter set, JackMessageFunction& current) {
    const JackMessageFunction before = current;
    set(nullptr);
    if (current != before) {
        set(before);
        return nullptr;
    }
    set(dropJackMessage);
    return before;
}

// Puts `previous` back unless the application replaced the drop function
// meanwhile: its own stays.
void restoreJack(JackMessageFunction previous, JackSetter set, JackMessageFunction current) {
    if (previous && current == dropJackMessage) set(previous);
}

// Holders of a JackMessageQuiet, and what the first one found in place.
std::mutex jackQuietMutex;
int jackQuietHolders = 0;
JackMessageFunction previousJackError = nullptr;
JackMessageFunction previousJackInfo = nullptr;

}  // namespace

JackMessageQuiet::JackMessageQuiet() {
    const std::lock_guard<std::mutex> lock(jackQuietMutex);
    if (jackQuietHolders++ > 0) return;
    previousJackError = quietJack(jack_set_error_function, jack_error_callback);
    previousJackInfo = quietJack(jack_set_info_function, jack_info_callback);
}

JackMessageQuiet::~JackMessageQuiet() {
    const std::lock_guard<std::mutex> lock(jackQuietMutex);
    if (--jackQuietHolders > 0) return;
    restoreJack(previousJackInfo, jack_set_info_function, jack_info_callback);
    restoreJack(previousJackError, jack_set_error_function, jack_error_callback);
}

AudioLibraryMessageScope::AudioLibraryMessageScope() {
    // A per-thread handler the application set on this thread stays.
    const snd_local_error_handler_t before = snd_lib_error_set_local(dropAlsaMessage);
    if (before) snd_lib_error_set_local(before);
    alsaQuieted_ = !before;
    const std::lock_guard<std::mutex> lock(jackQuietMutex);
    jackError_ = jack_error_callback;
    jackInfo_ = jack_info_callback;
}

AudioLibraryMessageScope::~AudioLibraryMessageScope() {
    {
        // PortAudio's error function would stay for good: the application's
        // (or the drop function, or libjack's default) goes back, before the
        // quiet lets go.
        const std::lock_guard<std::mutex> lock(jackQuietMutex);
        if (jack_error_callback != jackError_) jack_set_error_function(jackError_);
        if (jack_info_callback != jackInfo_) jack_set_info_function(jackInfo_);
    }
    if (alsaQuieted_) snd_lib_error_set_local(nullptr);
}

}  // namespace vbz
