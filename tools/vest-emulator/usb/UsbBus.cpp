#include "tools/vest-emulator/usb/UsbBus.h"

#include <algorithm>

namespace vbz::emu {

UsbBus& UsbBus::instance() {
    static UsbBus bus;
    return bus;
}

std::string UsbBus::plug(std::shared_ptr<VestModel> vest, uint16_t vendorId, uint16_t productId) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto device = std::make_shared<Device>();
    device->vest = std::move(vest);
    device->path = "vbz-emu-usb/" + std::to_string(nextPathNumber_++);
    slots_.push_back({{device->path, vendorId, productId}, device});
    return device->path;
}

void UsbBus::unplug(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = slots_.begin(); it != slots_.end(); ++it) {
        if (it->entry.path != path) continue;
        {
            std::lock_guard<std::mutex> deviceLock(it->device->mutex);
            it->device->unplugged = true;
        }
        slots_.erase(it);
        return;
    }
}

void UsbBus::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& s : slots_) {
        std::lock_guard<std::mutex> deviceLock(s.device->mutex);
        s.device->unplugged = true;
    }
    slots_.clear();
    failingOpens_.clear();
    writeFailures_ = readFailures_ = 0;
    enumerateFails_ = false;
    counters_ = {};
}

HidCallCounters UsbBus::counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

int UsbBus::openHandles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openHandles_;
}

int UsbBus::liveEnumerations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return liveEnumerations_;
}

int UsbBus::initDepth() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return initDepth_;
}

void UsbBus::failOpen(const std::string& path, bool fail, int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failingOpens_.erase(path);
    if (fail) failingOpens_[path] = error;
}

void UsbBus::failNextWrites(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeFailures_ = std::max(n, 0);
}

void UsbBus::failNextReads(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    readFailures_ = std::max(n, 0);
}

void UsbBus::failEnumerate(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    enumerateFails_ = fail;
}

std::vector<UsbBus::Entry> UsbBus::enumerate(uint16_t vendorId, uint16_t productId,
                                             bool& failed) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.enumerate;
    failed = enumerateFails_;
    std::vector<Entry> out;
    if (failed) return out;
    for (const auto& s : slots_) {
        if ((vendorId == 0 || s.entry.vendorId == vendorId) &&
            (productId == 0 || s.entry.productId == productId))
            out.push_back(s.entry);
    }
    if (!out.empty()) ++liveEnumerations_;
    return out;
}

std::shared_ptr<UsbBus::Device> UsbBus::open(const std::string& path, int& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.openPath;
    if (const auto failing = failingOpens_.find(path); failing != failingOpens_.end()) {
        error = failing->second;
        return nullptr;
    }
    for (const auto& s : slots_) {
        if (s.entry.path == path) {
            ++openHandles_;
            return s.device;
        }
    }
    error = ENOENT;
    return nullptr;
}

void UsbBus::closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.close;
    --openHandles_;
}

void UsbBus::enumerationFreed() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.freeEnumeration;
    --liveEnumerations_;
}

void UsbBus::countInit() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.init;
    ++initDepth_;
}

void UsbBus::countExit() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.exit;
    if (initDepth_ > 0) --initDepth_;
}

void UsbBus::countError() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.error;
}

bool UsbBus::takeWriteFailure() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writeFailures_ == 0) return false;
    --writeFailures_;
    return true;
}

bool UsbBus::takeReadFailure() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (readFailures_ == 0) return false;
    --readFailures_;
    return true;
}

void UsbBus::countWrite() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.write;
}

void UsbBus::countRead() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.readTimeout;
}

}  // namespace vbz::emu
