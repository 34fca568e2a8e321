#include "tools/vest-emulator/VestModel.h"

#include <algorithm>
#include <cstdio>

namespace vbz::emu {

namespace {
constexpr uint8_t kDeviceErrorId = 0xFF;
constexpr std::size_t kDeviceErrorLength = 6;

std::string hexId(uint8_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", id);
    return text;
}

Frame deviceErrorFrame(int8_t code) {
    return makeFrame(kDeviceErrorId, kDeviceErrorLength, {static_cast<uint8_t>(code)});
}
}  // namespace

uint16_t frameCrc(const uint8_t* data, std::size_t count) {
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= static_cast<uint16_t>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

void sealFrame(Frame& frame) {
    if (frame.size() < 2) return;
    const uint16_t crc = frameCrc(frame.data(), frame.size() - 2);
    frame[frame.size() - 2] = static_cast<uint8_t>(crc & 0xFF);
    frame[frame.size() - 1] = static_cast<uint8_t>(crc >> 8);
}

bool frameCrcOk(const uint8_t* data, std::size_t length) {
    if (!data || length < 2) return false;
    const uint16_t stored = static_cast<uint16_t>(data[length - 2] | (data[length - 1] << 8));
    return stored == frameCrc(data, length - 2);
}

Frame makeFrame(uint8_t id, std::size_t length, const std::vector<uint8_t>& payload) {
    if (length < 5) length = 5;
    Frame f(length, 0);
    f[0] = id;
    f[1] = 0xAD;
    f[2] = 0xDE;
    const std::size_t room = length - 5;
    std::copy_n(payload.begin(), std::min(room, payload.size()), f.begin() + 3);
    sealFrame(f);
    return f;
}

VestIdentity VestIdentity::withSerial(uint32_t serial) {
    serial %= 100000000u;
    VestIdentity id;
    id.serialHigh = static_cast<uint8_t>(serial / 1000000u);
    id.serialMiddle = static_cast<uint8_t>((serial / 10000u) % 100u);
    id.serialLow = static_cast<uint16_t>(serial % 10000u);
    return id;
}

VestModel::VestModel(VestIdentity identity) : identity_(std::move(identity)) {
    installStandardCommands();
}

void VestModel::installStandardCommands() {
    // Handlers run under mutex_, so they read the members directly.
    commands_[0x08] = {5, [this](const Frame&, Replies& r) {
                           r.send(makeFrame(0x88, 9,
                                            {static_cast<uint8_t>(identity_.serialLow & 0xFF),
                                             static_cast<uint8_t>(identity_.serialLow >> 8),
                                             identity_.serialMiddle, identity_.serialHigh}));
                       }};
    commands_[0x09] = {5, [this](const Frame&, Replies& r) {
                           // Up to 100 characters; NUL-padded when shorter.
                           r.send(makeFrame(0x89, 105, {identity_.version.begin(),
                                                        identity_.version.end()}));
                       }};
    commands_[0x0A] = {5, [this](const Frame&, Replies& r) {
                           const uint32_t t = identity_.typeCode;
                           r.send(makeFrame(0x8A, 9,
                                            {static_cast<uint8_t>(t), static_cast<uint8_t>(t >> 8),
                                             static_cast<uint8_t>(t >> 16),
                                             static_cast<uint8_t>(t >> 24)}));
                       }};
    commands_[0x10] = {5, [this](const Frame&, Replies& r) {
                           r.send(makeFrame(0x90, 10, {discoverStatus_}));
                       }};
    commands_[0x11] = {5, [this](const Frame&, Replies& r) {
                           bound_ = true;
                           r.send(makeFrame(0x91, 6, {0}));
                       }};
    commands_[0x12] = {5, [this](const Frame&, Replies& r) {
                           bound_ = false;
                           r.send(makeFrame(0x92, 6, {0}));
                       }};
}

void VestModel::receive(const uint8_t* data, std::size_t length) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    HostFrame seen{now, data ? Frame(data, data + length) : Frame{}, {}};
    if (!data || length == 0) {
        seen.problem = "empty frame";
        recordLocked(std::move(seen));
        return;  // nothing to answer to
    }
    const uint8_t id = data[0];
    if (answerTimeout_) {
        if (awaitingAnswer_ && now - lastCommandTime_ < *answerTimeout_)
            seen.problem = "command " + hexId(id) + " sent before the answer to the previous one";
        awaitingAnswer_ = true;
        lastCommandTime_ = now;
    }
    std::vector<Frame> replies;
    std::vector<Replies::Later> later;
    const auto it = commands_.find(id);
    const std::string ordering = seen.problem;
    if (it == commands_.end()) {
        seen.problem = "unknown command id " + hexId(id);
        replies.push_back(deviceErrorFrame(-2));
    } else if (length < it->second.length) {
        seen.problem = "command " + hexId(id) + " of " + std::to_string(length) +
                       " bytes, expected " + std::to_string(it->second.length);
        replies.push_back(deviceErrorFrame(-4));
    } else if (!frameCrcOk(data, it->second.length)) {
        seen.problem = "bad CRC in command " + hexId(id);
        replies.push_back(deviceErrorFrame(-1));
    } else if (data[1] != 0xAD || data[2] != 0xDE) {
        seen.problem = "wrong sync word in command " + hexId(id);
        replies.push_back(deviceErrorFrame(-3));
    } else if (oldFirmware_ && !bound_ && id != 0x10 && id != 0x11 && id != 0x12) {
        replies.push_back(deviceErrorFrame(-7));
    } else {
        Replies r;
        // Longer reports (padding) are handed over cut to the command length.
        it->second.handler(Frame(data, data + it->second.length), r);
        replies = std::move(r.frames);
        later = std::move(r.unsolicited);
    }
    if (!ordering.empty() && seen.problem != ordering)
        seen.problem = ordering + "; " + seen.problem;
    recordLocked(std::move(seen));
    queueRepliesLocked(id, std::move(replies), now);
    for (auto& l : later) queueLocked(std::move(l.bytes), now + l.delay);
}

AnswerFault* VestModel::faultForLocked(uint8_t commandId) {
    const auto it = commandFaults_.find(commandId);
    if (it != commandFaults_.end()) return &it->second;
    return globalFault_ ? &*globalFault_ : nullptr;
}

void VestModel::queueRepliesLocked(uint8_t commandId, std::vector<Frame> replies,
                                   Clock::time_point now) {
    AnswerFault* active = faultForLocked(commandId);
    if (!active || active->times == 0) {
        for (auto& f : replies) queueLocked(std::move(f), now, true);
        return;
    }
    const AnswerFault fault = *active;
    if (active->times > 0) --active->times;
    const auto due = now + fault.delay;
    if (fault.silent) {
        // Frames of the vest's own answer nothing: a vest that does not
        // answer may still send them.
        for (const Frame& f : fault.ownFramesFirst) queueLocked(f, due);
        return;
    }
    for (int i = 0; i < fault.noiseFrames; ++i) queueLocked(noiseFrameLocked(), due);
    for (const Frame& f : fault.ownFramesFirst) queueLocked(f, due);
    if (fault.deviceError) replies = {deviceErrorFrame(*fault.deviceError)};
    for (auto& f : replies) {
        if (fault.replaceId >= 0) {
            f[0] = static_cast<uint8_t>(fault.replaceId);
            sealFrame(f);
        }
        if (fault.wrongSync && f.size() >= 3) {
            f[1] = 0x00;
            f[2] = 0x00;
            sealFrame(f);
        }
        if (fault.badCrc && f.size() >= 2) f.back() ^= 0x5A;
        if (fault.twice) queueLocked(f, due, true);
        queueLocked(std::move(f), fault.twice ? due + fault.twiceAfter : due, true);
    }
}

void VestModel::queueLocked(Frame frame, Clock::time_point due, bool answer) {
    Pending p{due, nextOrder_++, std::move(frame), answer};
    const auto pos = std::upper_bound(outbox_.begin(), outbox_.end(), p,
                                      [](const Pending& a, const Pending& b) {
                                          return a.due < b.due ||
                                                 (a.due == b.due && a.order < b.order);
                                      });
    outbox_.insert(pos, std::move(p));
    wake_.notify_all();
    if (queuedListener_) queuedListener_();
}

void VestModel::setQueuedListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    queuedListener_ = std::move(listener);
}

Frame VestModel::noiseFrameLocked() {
    static const std::pair<uint8_t, std::size_t> kNoise[] = {
        {0x8B, 5}, {0x8C, 37}, {0x8D, 6}, {0x8E, 52}, {0x8F, 6}, {0xA0, 10}};
    const auto& n = kNoise[noiseTurn_++ % std::size(kNoise)];
    return makeFrame(n.first, n.second);
}

std::optional<Frame> VestModel::nextFrame(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const auto now = Clock::now();
        if (!outbox_.empty() && outbox_.front().due <= now) {
            Frame f = std::move(outbox_.front().bytes);
            if (outbox_.front().answer) awaitingAnswer_ = false;
            outbox_.erase(outbox_.begin());
            return f;
        }
        if (now >= deadline) return std::nullopt;
        const auto until =
            outbox_.empty() ? deadline : std::min(deadline, outbox_.front().due);
        wake_.wait_until(lock, until);
    }
}

void VestModel::sendUnsolicited(Frame frame, Clock::duration delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    queueLocked(std::move(frame), Clock::now() + delay);
}

void VestModel::sendNoise(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    for (int i = 0; i < count; ++i) queueLocked(noiseFrameLocked(), now);
}

void VestModel::addCommand(uint8_t id, std::size_t length, CommandHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_[id] = {std::max<std::size_t>(length, 5), std::move(handler)};
}

bool VestModel::knowsCommand(uint8_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_.count(id) != 0;
}

std::optional<std::size_t> VestModel::commandLength(uint8_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = commands_.find(id);
    if (it == commands_.end()) return std::nullopt;
    return it->second.length;
}

VestIdentity VestModel::identity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return identity_;
}

void VestModel::setIdentity(const VestIdentity& identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    identity_ = identity;
}

uint8_t VestModel::discoverStatus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return discoverStatus_;
}

void VestModel::setDiscoverStatus(uint8_t status) {
    std::lock_guard<std::mutex> lock(mutex_);
    discoverStatus_ = status;
}

bool VestModel::bound() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bound_;
}

void VestModel::setOldFirmware(bool old) {
    std::lock_guard<std::mutex> lock(mutex_);
    oldFirmware_ = old;
}

void VestModel::setFault(const AnswerFault& fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    globalFault_ = fault;
}

void VestModel::setFault(uint8_t commandId, const AnswerFault& fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    commandFaults_[commandId] = fault;
}

void VestModel::clearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    globalFault_.reset();
    commandFaults_.clear();
}

void VestModel::recordLocked(HostFrame frame) {
    if (!frame.bytes.empty()) ++receivedById_[frame.bytes[0]];
    if (!frame.problem.empty()) violations_.push_back(frame.problem);
    record_.push_back(std::move(frame));
    while (recordLimit_ > 0 && record_.size() > recordLimit_) record_.pop_front();
}

std::vector<HostFrame> VestModel::hostFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {record_.begin(), record_.end()};
}

void VestModel::setRecordLimit(std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    recordLimit_ = n;
    while (recordLimit_ > 0 && record_.size() > recordLimit_) record_.pop_front();
}

std::size_t VestModel::countReceived(uint8_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return receivedById_[id];
}

std::vector<std::string> VestModel::violations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return violations_;
}

void VestModel::checkOneCommandAtATime(Clock::duration answerTimeout) {
    std::lock_guard<std::mutex> lock(mutex_);
    answerTimeout_ = answerTimeout;
}

void VestModel::clearRecord() {
    std::lock_guard<std::mutex> lock(mutex_);
    record_.clear();
    receivedById_.fill(0);
    violations_.clear();
}

std::size_t VestModel::pendingFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outbox_.size();
}

}  // namespace vbz::emu
