#pragma once
// SCHED_FIFO refused to this thread and the threads it starts, as to an ordinary user: no rtprio
// limit, and when run as root, no effective CAP_SYS_NICE (capabilities are per thread and a new
// thread inherits them). Undone at the end of the scope.
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace telkey::test {

class NoDirectRealtime {
  public:
    NoDirectRealtime() {
        getrlimit(RLIMIT_RTPRIO, &saved_);
        const rlimit none{0, saved_.rlim_max};
        setrlimit(RLIMIT_RTPRIO, &none);
        SetSysNice(false);
        sched_param param{};
        param.sched_priority = 1;
        refused_ = sched_setscheduler(0, SCHED_FIFO, &param) != 0;
        if (!refused_) {
            param.sched_priority = 0;
            sched_setscheduler(0, SCHED_OTHER, &param);
        }
    }
    ~NoDirectRealtime() {
        SetSysNice(true);
        setrlimit(RLIMIT_RTPRIO, &saved_);
    }
    NoDirectRealtime(const NoDirectRealtime&) = delete;
    NoDirectRealtime& operator=(const NoDirectRealtime&) = delete;

    // False when SCHED_FIFO is granted all the same; the broker would not be asked.
    bool Refused() const { return refused_; }

  private:
    static void SetSysNice(bool on) {
        if (geteuid() != 0) return;
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (syscall(SYS_capget, &header, data) != 0) return;
        const unsigned bit = 1u << CAP_SYS_NICE;
        if (on) {
            data[0].effective |= data[0].permitted & bit;
        } else {
            data[0].effective &= ~bit;
        }
        syscall(SYS_capset, &header, data);
    }

    rlimit saved_{};
    bool refused_ = false;
};

}  // namespace telkey::test
