// Keeps what ALSA and libjack print on their own off the application's
// stderr while the audio host calls into PortAudio: on a machine without a
// sound card ALSA writes a few dozen lines per PortAudio initialisation
// ("cannot find card '0'"), and libjack writes its own when no JACK server
// runs. Those lines say nothing the PortAudio results do not, so they are
// dropped.
//
// An application's own handlers win: ALSA's process-wide handler, when the
// application set one, still gets every message (only the default one looks
// at the per-thread handler set here), and a per-thread ALSA handler or an
// error or info function the application gave libjack stays in place. What
// was there before is put back when the scope ends.
//
// Threads: the ALSA part is per thread, so the scope lives on the stack of the
// thread that calls PortAudio. libjack's functions are process-wide: the host
// holds one scope at a time (under its mutex).
#pragma once

namespace vbz {

class AudioLibraryMessageScope {
public:
    AudioLibraryMessageScope();
    ~AudioLibraryMessageScope();
    AudioLibraryMessageScope(const AudioLibraryMessageScope&) = delete;
    AudioLibraryMessageScope& operator=(const AudioLibraryMessageScope&) = delete;

private:
    using JackMessageFunction = void (*)(const char*);
    bool alsaQuieted_ = false;
    JackMessageFunction previousJackError_ = nullptr;
    JackMessageFunction previousJackInfo_ = nullptr;
};

}  // namespace vbz
