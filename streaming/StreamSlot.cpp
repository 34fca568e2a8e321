#include "streaming/StreamSlot.h"

#include "sdk/core/IHandler.h"
#include "sdk/core/LogHold.h"
#include "streaming/StreamAudio.h"
#include "streaming/StreamHid.h"

namespace vbz {

StreamSlot::Factory StreamSlot::defaultFactory(AbstractCore* source, std::mutex* mutex, IHandler* owner) {
    return [source, mutex, owner](int kind) -> std::shared_ptr<IStream> {
        if (kind == kStreamAudioKind) return std::make_shared<StreamAudio>(source, mutex, owner);
        return std::make_shared<StreamHid>(source, mutex, owner);
    };
}

StreamSlot::StreamSlot(std::mutex& mutex, Factory factory)
    : mutex_(mutex), factory_(std::move(factory)), stream_(factory_(kStreamHidKind)) {}

std::shared_ptr<IStream> StreamSlot::current() {
    vbz::HandlerLock lock(mutex_);
    return stream_;
}

void StreamSlot::ensureKind(int kind) {
    if (current()->kind() == kind) return;
    std::shared_ptr<IStream> fresh = factory_(kind);
    bool closing;
    {
        vbz::HandlerLock lock(mutex_);
        std::swap(stream_, fresh);
        closing = closing_;
    }
    fresh.reset();  // the old stream, outside the mutex
    if (closing) current()->stop();
}

void StreamSlot::close() {
    std::shared_ptr<IStream> running;
    {
        vbz::HandlerLock lock(mutex_);
        closing_ = true;
        running = stream_;
    }
    // The worker may be about to swap in a stream of the other kind; it
    // stops that one itself (ensureKind).
    running->stop();
}

void StreamSlot::release() {
    std::shared_ptr<IStream> last;
    {
        vbz::HandlerLock lock(mutex_);
        last = std::move(stream_);
    }
    last.reset();  // outside the mutex: a stream's destructor takes it
}

void runVestConnection(IHandler& owner, IStream& stream, vbz_output_t output, unsigned serialNumber,
                       const std::function<void()>& onConnected) {
    int result = stream.connect(output, serialNumber);
    if (result >= 0) {
        if (onConnected) onConnected();
        owner.connectionRoutineTerminated(VBZ_STATE_CONNECTED, 0, stream.getVibrenzaSerialNumber());
        result = stream.run();
        stream.reset();
        serialNumber = stream.getVibrenzaSerialNumber();
    }
    owner.connectionRoutineTerminated(VBZ_STATE_DISCONNECTED, result, serialNumber);
}

void runAudioConnection(IHandler& owner, IStream& stream, vbz_audio_preset_t preset,
                        vbz_audio_settings_t settings) {
    auto* audio = dynamic_cast<StreamAudio*>(&stream);
    int result = audio ? audio->connectAudio(preset, settings) : VBZ_ERROR_OUTPUT_NOT_SUPPORTED;
    if (result >= 0) {
        result = stream.run();  // reports "connected" itself once it plays
        stream.reset();
    }
    owner.connectionRoutineTerminated(VBZ_STATE_DISCONNECTED, result, 0xFFFFFFFFu);
}

}  // namespace vbz
