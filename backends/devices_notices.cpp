#include "backends/devices_notices.h"

#include <utility>

namespace telkey {

void DeviceNotices::Post(std::string text) {
    {
        std::lock_guard lock(mutex_);
        latest_ = text;
        // A window that never looks must not make the list grow without bound.
        if (pending_.size() >= kKept) pending_.erase(pending_.begin());
        pending_.push_back(std::move(text));
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

}  // namespace telkey
