#include "streaming/AudioOutputSelection.h"

#include <regex>
#include <sstream>

#include "sdk/core/LogLine.h"

namespace vbz {

namespace {
constexpr const char* kTag = "StreamAudio";
constexpr const char* kVestPattern = "((rvd)[-_\\s.]*(mk)[-_\\s.](i|v|x)+|vibrenza)";
constexpr const char* kDacPattern = "usb.+audio.+dac";

void presetNotice(const vbz_audio_settings_t& s, int channels, const char* text) {
    if (s.nbStreamChannel != channels && s.nbStreamChannel != -1) LogLine(2, kTag) << text;
}

void setPreset(vbz_audio_settings_t& s, const char* name, int channels) {
    s.deviceName = name;
    s.audioAPI = kPresetHostApiName;
    s.nbStreamChannel = channels;
    s.sampleRate = 48000;
    s.suggestedOutputLatency = 0.0f;
}

std::string textOf(const char* text) { return text ? text : ""; }

// Output parameters for device: the wanted channel count (negative: all of
// the device's), one float32 buffer per channel, the wanted latency or the
// device's default low one.
void fillParameters(const PaDeviceInfo& info, PaDeviceIndex device, const vbz_audio_settings_t& s,
                    PaStreamParameters& out) {
    out = PaStreamParameters{};
    out.device = device;
    out.channelCount = s.nbStreamChannel >= 0 ? s.nbStreamChannel : info.maxOutputChannels;
    out.sampleFormat = paFloat32 | paNonInterleaved;
    out.suggestedLatency =
        s.suggestedOutputLatency > 0.0f ? s.suggestedOutputLatency : info.defaultLowOutputLatency;
    out.hostApiSpecificStreamInfo = nullptr;
}

PaError checkFormat(IAudioHost& host, const PaStreamParameters& out, double rate) {
    // A stream without channels is not one PortAudio can open.
    if (out.channelCount < 1) return paInvalidChannelCount;
    return host.isFormatSupported(nullptr, &out, rate);
}
}  // namespace

int applyAudioPreset(int preset, vbz_audio_settings_t& s, DeviceNameMatch& match) {
    switch (preset) {
        case eCustomDevice:
            LogLine(0, kTag) << "Open stream to eCustomDevice";
            match = DeviceNameMatch::Letters;
            return 0;
        case eAudioPreset1:
            presetNotice(s, 20,
                         "Number of streaming channels set to 20. If there are less virtual actuators, the "
                         "missing ones will be filled with zeros.");
            setPreset(s, "VIBRENZA", 20);
            match = DeviceNameMatch::Letters;
            return 0;
        case eAudioPreset2:
        case eAudioPreset3:
        case eAudioPreset5:
            presetNotice(s, 20,
                         "Number of streaming channels set to 20. If there are less virtual actuators in the "
                         "layout, the missing ones will be filled with zeros.");
            setPreset(s, kVestPattern, 20);
            match = DeviceNameMatch::Pattern;
            return 0;
        case eAudioPreset4:
            presetNotice(s, 2,
                         "Number of streaming channels set to 2. If there are less virtual actuators, the "
                         "missing ones will be filled with zeros.");
            setPreset(s, kDacPattern, 2);
            match = DeviceNameMatch::Pattern;
            return 0;
        default:
            LogLine(2, kTag) << "Unknown audio preset: " << preset;
            return VBZ_ERROR_OUTPUT_NOT_SUPPORTED;
    }
}

std::string normalizeDeviceName(const char* name) {
    std::string out;
    if (!name) return out;
    for (const char* p = name; *p; ++p) {
        const char c = *p;
        if (c >= 'a' && c <= 'z')
            out.push_back(static_cast<char>(c - 'a' + 'A'));
        else if (c >= 'A' && c <= 'Z')
            out.push_back(c);
    }
    return out;
}

std::vector<std::string> audioErrorTexts(IAudioHost& host, PaError error) {
    std::vector<std::string> texts;
    const char* text = host.errorText(error);
    texts.push_back(std::string("PortAudio error : ") + (text ? text : ""));
    if (error == paUnanticipatedHostError) {
        if (const PaHostErrorInfo* info = host.lastHostErrorInfo()) {
            std::ostringstream detail;
            detail << "PortAudio error ---> Host API error = " << info->errorCode
                   << ", hostApiType = " << info->hostApiType << ", error : "
                   << (info->errorText ? info->errorText : "");
            texts.push_back(detail.str());
        }
    }
    return texts;
}

void logAudioError(IAudioHost& host, PaError error) {
    for (const std::string& text : audioErrorTexts(host, error)) LogLine(4, kTag) << text;
}

int selectOutputDevice(IAudioHost& host, const vbz_audio_settings_t& s, DeviceNameMatch match,
                       PaStreamParameters& output) {
    const std::string wanted = textOf(s.deviceName);
    const std::string api = textOf(s.audioAPI);
    const double rate = static_cast<double>(s.sampleRate);

    if (wanted == "default_output") {
        LogLine(2, kTag) << "Using default output audio device";
        const PaDeviceIndex device = host.defaultOutputDevice();
        const PaDeviceInfo* info = device >= 0 ? host.deviceInfo(device) : nullptr;
        if (!info) {
            LogLine(4, kTag) << "PortAudio error : No default output device found.";
            return VBZ_ERROR_PORTAUDIO;
        }
        fillParameters(*info, device, s, output);
        const PaError err = checkFormat(host, output, rate);
        if (err != paNoError) {
            logAudioError(host, err);
            return VBZ_ERROR_PORTAUDIO;
        }
        return 0;
    }

    std::regex pattern;
    std::string wantedLetters;
    if (match == DeviceNameMatch::Pattern) {
        try {
            pattern = std::regex(wanted, std::regex::ECMAScript | std::regex::icase);
        } catch (const std::regex_error& e) {
            LogLine(4, kTag) << "Invalid device name expression '" << wanted << "': " << e.what();
            LogLine(4, kTag) << "No suitable device found with provided parameters.";
            return VBZ_ERROR_INVALID_PARAMETER;
        }
    } else {
        wantedLetters = normalizeDeviceName(wanted.c_str());
    }

    const PaDeviceIndex count = host.deviceCount();
    if (count < 0) {
        logAudioError(host, count);
        return VBZ_ERROR_PORTAUDIO;
    }
    for (PaDeviceIndex device = 0; device < count; ++device) {
        const PaDeviceInfo* info = host.deviceInfo(device);
        if (!info) continue;
        const std::string name = textOf(info->name);

        bool matches;
        if (match == DeviceNameMatch::Pattern) {
            try {
                matches = std::regex_search(name, pattern);
            } catch (const std::regex_error&) {  // expression too complex for this name
                matches = false;
            }
        } else {
            const std::string letters = normalizeDeviceName(name.c_str());
            LogLine(0, kTag) << "  device " << letters;
            LogLine(0, kTag) << "  target " << wantedLetters;
            matches = letters.find(wantedLetters) != std::string::npos;
        }
        if (!matches) {
            LogLine(0, kTag) << "  Reject device: " << name;
            continue;
        }

        LogLine(0, kTag) << "  Checking " << name;
        const PaHostApiInfo* apiInfo = host.hostApiInfo(info->hostApi);
        const std::string apiName = apiInfo ? textOf(apiInfo->name) : std::string();
        if (api != "any_API" && apiName != api) {
            LogLine(0, kTag) << "    Reject API: " << apiName;
            continue;
        }

        PaStreamParameters candidate;
        fillParameters(*info, device, s, candidate);
        const PaError err = checkFormat(host, candidate, rate);
        if (err != paNoError) {
            LogLine(4, kTag) << "PortAudio error : " << host.errorText(err) << " (" << err << ")";
            if (err == paUnanticipatedHostError) {
                if (const PaHostErrorInfo* hostError = host.lastHostErrorInfo()) {
                    LogLine(4, kTag) << "---> Host API error = #" << hostError->errorCode
                                     << ", hostApiType = " << hostError->hostApiType;
                    LogLine(4, kTag) << "---> Host API error = " << textOf(hostError->errorText);
                }
            }
            continue;
        }
        LogLine(2, kTag) << "Found valid output device '" << name << "' using '" << apiName << "'";
        output = candidate;
        return 0;
    }
    LogLine(4, kTag) << "No suitable device found with provided parameters.";
    return VBZ_ERROR_INVALID_PARAMETER;
}

}  // namespace vbz
