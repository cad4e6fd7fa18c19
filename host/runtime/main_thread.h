#pragma once

#include <functional>

namespace quill::host {

// Queues `fn` on the application's (main) thread. Safe from any thread; never runs `fn` inline,
// so a caller on the main thread finishes what it is doing first. Dropped when no application
// object exists.
void postToMain(std::function<void()> fn);

// Whether the caller runs on the thread of the application object.
bool onMainThread();

}  // namespace quill::host
