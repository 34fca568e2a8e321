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
// was there before is put back when the scope ends: also over the error
// function that PortAudio gives libjack for good whenever it reaches a JACK
// server, so that once PortAudio's initialisation (or the last JACK stream
// of ours) is over libjack reports to the application's functions again,
// or to its own defaults.
//
// Threads: the ALSA part is per thread, so the scope lives on the stack of the
// thread that calls PortAudio. libjack's functions are process-wide: they are
// quieted once for every holder of a JackMessageQuiet (the scope holds one)
// and put back when the last one lets go, whatever the threads.
#pragma once

namespace vbz {

// libjack's messages dropped for as long as one of these lives: a JACK
// client of ours holds one from its opening to its closing, since libjack
// reports a server that died from its own threads.
class JackMessageQuiet {
public:
    JackMessageQuiet();
    ~JackMessageQuiet();
    JackMessageQuiet(const JackMessageQuiet&) = delete;
    JackMessageQuiet& operator=(const JackMessageQuiet&) = delete;
};

class AudioLibraryMessageScope {
public:
    AudioLibraryMessageScope();
    ~AudioLibraryMessageScope();
    AudioLibraryMessageScope(const AudioLibraryMessageScope&) = delete;
    AudioLibraryMessageScope& operator=(const AudioLibraryMessageScope&) = delete;

private:
    bool alsaQuieted_ = false;
    JackMessageQuiet jack_;
    // libjack's functions while the scope is quiet, put back at its end.
    void (*jackError_)(const char*) = nullptr;
    void (*jackInfo_)(const char*) = nullptr;
};

}  // namespace vbz
