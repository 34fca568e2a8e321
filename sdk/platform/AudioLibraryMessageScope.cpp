#include "sdk/platform/AudioLibraryMessageScope.h"

#include <cstdarg>

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

// Puts `previous` back unless someone replaced the drop function meanwhile
// (PortAudio installs its own error function once it reaches a JACK server).
void restoreJack(JackMessageFunction previous, JackSetter set, JackMessageFunction current) {
    if (previous && current == dropJackMessage) set(previous);
}

}  // namespace

AudioLibraryMessageScope::AudioLibraryMessageScope() {
    // A per-thread handler the application set on this thread stays.
    const snd_local_error_handler_t before = snd_lib_error_set_local(dropAlsaMessage);
    if (before) snd_lib_error_set_local(before);
    alsaQuieted_ = !before;
    previousJackError_ = quietJack(jack_set_error_function, jack_error_callback);
    previousJackInfo_ = quietJack(jack_set_info_function, jack_info_callback);
}

AudioLibraryMessageScope::~AudioLibraryMessageScope() {
    restoreJack(previousJackInfo_, jack_set_info_function, jack_info_callback);
    restoreJack(previousJackError_, jack_set_error_function, jack_error_callback);
    if (alsaQuieted_) snd_lib_error_set_local(nullptr);
}

}  // namespace vbz
