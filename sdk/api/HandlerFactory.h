// The back-end factory: the one place that names all three back-ends.
#pragma once

class IHandler;
class SdkPersistentState;

namespace vbz {

// Back-end kinds, as IHandler::kind reports them.
constexpr int kKindCommands = 0;
constexpr int kKindStreaming = 1;
constexpr int kKindOrv = 2;

// A new back-end of kind 0 (sequencer), 1 (streaming) or 2 (audio-to-haptics)
// over state, disconnected with its scan flag clear; null for any other kind.
// The caller owns the result.
IHandler* createHandler(int kind, SdkPersistentState* state);

// Test seam: while a hook is set, createHandler asks it first and falls back
// to the real back-ends when it returns null. Set it before the instances
// that use it are made and clear it (null) after they are gone.
using HandlerFactoryHook = IHandler* (*)(int kind, SdkPersistentState* state, void* context);
void setHandlerFactoryHook(HandlerFactoryHook hook, void* context);

}  // namespace vbz
