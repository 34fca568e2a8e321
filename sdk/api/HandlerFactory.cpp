#include "sdk/api/HandlerFactory.h"

#include <mutex>

#include "orv-fx/HandlerORV.h"
#include "sequencer/HandlerCommands.h"
#include "streaming/HandlerStreaming.h"

namespace vbz {

namespace {
std::mutex hookMutex;
HandlerFactoryHook hookFunction = nullptr;
void* hookContext = nullptr;
}  // namespace

void setHandlerFactoryHook(HandlerFactoryHook hook, void* context) {
    std::lock_guard<std::mutex> lock(hookMutex);
    hookFunction = hook;
    hookContext = context;
}

IHandler* createHandler(int kind, SdkPersistentState* state) {
    HandlerFactoryHook hook;
    void* context;
    {
        std::lock_guard<std::mutex> lock(hookMutex);
        hook = hookFunction;
        context = hookContext;
    }
    if (hook) {
        if (IHandler* made = hook(kind, state, context)) return made;
    }
    switch (kind) {
        case kKindCommands:
            return new HandlerCommands(state);
        case kKindStreaming:
            return new HandlerStreaming(state);
        case kKindOrv:
            return new HandlerORV(state);
        default:
            return nullptr;
    }
}

}  // namespace vbz
