#pragma once

// The main-thread coroutine runtime of the host: tasks, cancellation, sleeps, stream waits and
// blocking calls on workers. Rules for coroutines built on it:
// - no nested event loops (exec(), processEvents(), QEventLoop): they are hidden suspension
//   points that break "test and set with no suspension between";
// - coroutines take their arguments by value;
// - after every co_await, re-check that the objects used still exist (QPointer, weak_ptr);
// - never co_await a QFuture that can end without a result.
// Two g++ 12 miscompilations to stay clear of (both corrupt memory, seen under ASan):
// - a capturing lambda created inside a co_await expression is destroyed twice: create it
//   before the co_await (onWorker only takes stateless callables, with the state as arguments);
// - `if (co_await x)` with a suspending awaiter crashes: bind the result first
//   (`auto v = co_await x; if (v) ...`; `while (auto v = co_await x)` is fine).
#include "host/runtime/cancel_token.h"
#include "host/runtime/main_thread.h"
#include "host/runtime/sleep.h"
#include "host/runtime/stream_next.h"
#include "host/runtime/task.h"
#include "host/runtime/worker.h"
