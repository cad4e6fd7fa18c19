#include "quillcore/base/quick_wake.h"

#include <linux/sched.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace quill {

namespace {

// The kernel's struct sched_attr (glibc has no wrapper for these calls yet).
struct SchedAttr {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;  // for the normal policy: the time slice asked for, 0 for the default
    std::uint64_t deadline;
    std::uint64_t period;
};

// The shortest slice the kernel takes; a message's work on one thread is shorter still.
constexpr std::uint64_t kQuickSliceNs = 100'000;

}  // namespace

void preferQuickWakeUps(bool on) {
    SchedAttr attr{};
    if (::syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0 || attr.policy != SCHED_OTHER) return;
    attr.size = sizeof attr;
    // Threads it starts get the usual slice.
    attr.flags = on ? SCHED_FLAG_RESET_ON_FORK : 0;
    attr.runtime = on ? kQuickSliceNs : 0;
    ::syscall(SYS_sched_setattr, 0, &attr, 0);
}

}  // namespace quill
