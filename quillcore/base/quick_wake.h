#pragma once

namespace quill {

// For threads that wake for brief work on the path of a person's input (a control message from
// arrival to injection): asks the kernel to run the calling thread soon after it wakes, ahead
// of threads that run for long stretches, such as the video encoder's. The thread gets a short
// time slice; on a deadline scheduler (Linux 6.12 and later) that lets it take a busy core at
// once instead of waiting out the running thread's slice (up to a few milliseconds). Its share
// of the processor stays what it was, and no privilege is needed. Where the kernel has no such
// setting nothing changes. `on` false gives the thread the usual slice again (a pooled thread
// that moves on to other work).
void preferQuickWakeUps(bool on = true);

}  // namespace quill
