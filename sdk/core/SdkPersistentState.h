// What one VibrenzaSDK instance keeps across changes of back-end: the
// pattern texts under their ids and the connection callback. Owned by the
// VibrenzaSDK object; back-ends hold a plain pointer to it. Its mutex is
// never held together with a handler mutex.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "vibrenza/vbz_types.h"

class SdkPersistentState {
public:
    using ConnectionCallback = vbz_connection_callback_t;

    SdkPersistentState();
    ~SdkPersistentState();
    SdkPersistentState(const SdkPersistentState&) = delete;
    SdkPersistentState& operator=(const SdkPersistentState&) = delete;

    // Keeps the first text stored under an id.
    void addPattern(int patternId, std::string json);
    // out becomes a copy of every kept entry.
    void getPatterns(std::map<int, std::string>& out);
    void removePattern(int patternId);
    void setConnectionCallback(ConnectionCallback callback, void* userData);
    ConnectionCallback getConnectionCallback();
    void* getUserData();
    // Largest kept pattern id, -1 when none is kept.
    int lastPatternId();

private:
    std::map<int, std::string> patterns_;
    std::unique_ptr<std::mutex> mutex_;
    ConnectionCallback callback_ = nullptr;
    void* userData_ = nullptr;
};
