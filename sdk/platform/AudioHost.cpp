#include <atomic>

#include "sdk/platform/IAudioHost.h"
#include "sdk/platform/PortAudioJackHost.h"

namespace vbz {

namespace {
std::atomic<IAudioHost*> installedHost{nullptr};
}

IAudioHost& audioHost() {
    IAudioHost* host = installedHost.load(std::memory_order_acquire);
    return host ? *host : PortAudioJackHost::instance();
}

void setAudioHost(IAudioHost* host) { installedHost.store(host, std::memory_order_release); }

PaDeviceIndex resolveDevice(IAudioHost& host, const AudioDeviceRef& ref) {
    if (ref.name.empty()) return paNoDevice;
    const PaDeviceInfo* info = host.deviceInfo(ref.index);
    if (info && info->name && ref.name == info->name) return ref.index;
    const PaDeviceIndex count = host.deviceCount();
    for (PaDeviceIndex d = 0; d < count; ++d) {
        info = host.deviceInfo(d);
        if (info && info->name && ref.name == info->name) return d;
    }
    return paNoDevice;
}

}  // namespace vbz
