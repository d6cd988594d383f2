#pragma once
// The calling thread's effective CAP_SYS_NICE, off and on (capabilities are per thread, and a
// thread it starts inherits them). With it off, root is refused SCHED_FIFO as an ordinary user is.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace telkey::test {

inline bool SetSysNice(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    const unsigned bit = 1u << CAP_SYS_NICE;
    if (on) {
        data[0].effective |= data[0].permitted & bit;
    } else {
        data[0].effective &= ~bit;
    }
    return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace telkey::test
