#include "backends/devices_notices.h"

#include <unistd.h>

#include <cstdint>
#include <utility>

namespace telkey {

void DeviceNotices::Post(std::string text) {
    {
        std::lock_guard lock(mutex_);
        latest_ = text;
        // A window that never looks must not make the list grow without bound.
        if (pending_.size() >= kKept) pending_.erase(pending_.begin());
        pending_.push_back(std::move(text));
        if (wakeFd_ >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
        }
    }
    serial_.fetch_add(1, std::memory_order_release);
}

std::string DeviceNotices::StatusText() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

std::vector<std::string> DeviceNotices::TakeNew() {
    std::lock_guard lock(mutex_);
    return std::exchange(pending_, {});
}

void DeviceNotices::WakeOnPost(int fd) {
    std::lock_guard lock(mutex_);
    wakeFd_ = fd;
}

}  // namespace telkey
