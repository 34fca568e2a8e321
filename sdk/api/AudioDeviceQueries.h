// Queries of the computer's audio devices, for the experimental audio
// connections: output device names, loopback device names, the host APIs of
// one output, its channels and latencies, its standard sample rates; and the
// two lookups that turn names into device indices.
//
// Failures are reported as one flushed line on standard error, the chosen
// loopback device on standard output; not through the SDK log. The arrays and
// texts handed out belong to each query and stay valid until its next call.
// Two threads must not run the same query at once.
#pragma once

#include "sdk/platform/IAudioHost.h"

namespace vbz {

int getOutputDevicesNames(const char**& names, int& count);
int getLoopbackDevicesNames(const char**& names, int& count);
int getOutputDeviceAPIs(const char* deviceName, const char**& apiNames, int& count);
int getOutputDeviceInfo(const char* deviceName, const char* apiName, int& maxOutputChannels,
                        float& defaultLowOutputLatency, float& defaultHighOutputLatency);
int getSupportedStandardSampleRates(const char* deviceName, const char* apiName, unsigned int*& rates,
                                    int& count);

// Lookups: the caller has initialised the audio host and terminates it.
// Index of the loopback device whose name begins with `name` (null: the one
// of the default output), or -4, -2, -1. `found`, when given, receives the
// index and the device's full name.
int findLoopbackDevice(const char* name, AudioDeviceRef* found = nullptr);
// Index of the output device of exactly this name and host API, or -2, -15.
int findOutputDevice(const char* deviceName, const char* apiName);

inline constexpr unsigned int kStandardSampleRates[] = {8000,  9600,  11025, 12000, 16000, 22050, 24000,
                                                        32000, 44100, 48000, 88200, 96000, 192000};

}  // namespace vbz
