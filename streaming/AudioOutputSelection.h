// Choosing the output device of the audio-device stream: the audio presets
// (which rewrite the application's settings), the two ways of matching a
// device name (letters only, or a regular expression), and the search over
// the audio host's devices that fills the stream's output parameters.
// Log tag "StreamAudio".
//
// Threads: any thread; needs the audio host initialised for the search.
#pragma once

#include <string>
#include <vector>

#include <portaudio.h>

#include "sdk/platform/IAudioHost.h"
#include "vibrenza/vbz_types.h"

namespace vbz {

// The host API that the presets ask for. On this platform the multichannel
// devices that a vest's audio interface shows up as are JACK clients, so it
// is PortAudio's JACK host API (matched by PortAudio's name for it).
inline constexpr const char* kPresetHostApiName = kJackHostApiName;

enum class DeviceNameMatch {
    Letters,  // the letters of the wanted name occur in the device's letters
    Pattern,  // the wanted name is a case-insensitive ECMAScript expression
};

// Rewrites settings as preset asks (bufferSize is never changed) and says how
// names are matched. 0, or -4 for an unknown preset (logged, settings
// unchanged).
int applyAudioPreset(int preset, vbz_audio_settings_t& settings, DeviceNameMatch& match);

// The ASCII letters of name, upper-cased, in order ("Speakers (2- Vibrenza
// Audio)" gives "SPEAKERSVIBRENZAAUDIO"). Null gives "".
std::string normalizeDeviceName(const char* name);

// Finds the output device that settings name and fills output for it (one
// float32 buffer per channel). 0 when found; -2 when no device passes name,
// host-API and format checks (or the expression is not valid); -15 when the
// default output is wanted and missing or refuses the format, or the device
// list cannot be read. Every rejection is logged.
int selectOutputDevice(IAudioHost& host, const vbz_audio_settings_t& settings, DeviceNameMatch match,
                       PaStreamParameters& output);

// The texts of a PortAudio error: one line, and a second with the host
// API's own error for paUnanticipatedHostError.
std::vector<std::string> audioErrorTexts(IAudioHost& host, PaError error);
// Logs those texts at error level.
void logAudioError(IAudioHost& host, PaError error);

}  // namespace vbz
