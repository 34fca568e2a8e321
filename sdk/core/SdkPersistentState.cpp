#include "sdk/core/SdkPersistentState.h"

SdkPersistentState::SdkPersistentState() : mutex_(std::make_unique<std::mutex>()) {}

SdkPersistentState::~SdkPersistentState() = default;

void SdkPersistentState::addPattern(int patternId, std::string json) {
    std::lock_guard<std::mutex> lock(*mutex_);
    patterns_.try_emplace(patternId, std::move(json));
}

void SdkPersistentState::getPatterns(std::map<int, std::string>& out) {
    std::lock_guard<std::mutex> lock(*mutex_);
    out = patterns_;
}

void SdkPersistentState::removePattern(int patternId) {
    std::lock_guard<std::mutex> lock(*mutex_);
    patterns_.erase(patternId);
}

void SdkPersistentState::setConnectionCallback(ConnectionCallback callback, void* userData) {
    std::lock_guard<std::mutex> lock(*mutex_);
    callback_ = callback;
    userData_ = userData;
}

SdkPersistentState::ConnectionCallback SdkPersistentState::getConnectionCallback() {
    std::lock_guard<std::mutex> lock(*mutex_);
    return callback_;
}

void* SdkPersistentState::getUserData() {
    std::lock_guard<std::mutex> lock(*mutex_);
    return userData_;
}

int SdkPersistentState::lastPatternId() {
    std::lock_guard<std::mutex> lock(*mutex_);
    return patterns_.empty() ? -1 : patterns_.rbegin()->first;
}
