#pragma once
// Notices from the devices backend for the window: a device unplugged or back, a stalled keyer's
// lines released, the sound server gone. Posted by the backend's own threads (never the keyer's);
// the window is woken through an eventfd (WakeOnPost) and takes the new texts, so the keyer side
// never touches Qt.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace telkey {

class DeviceNotices {
  public:
    void Post(std::string text);
    // Changes with every notice; cheap to poll.
    std::uint32_t Serial() const noexcept { return serial_.load(std::memory_order_acquire); }
    // The latest notice ("" before the first).
    std::string StatusText() const;
    // The notices posted since the last call, oldest first.
    std::vector<std::string> TakeNew();
    // Every later Post adds one to eventfd `fd` (-1: none). Once it returns with -1, `fd` is
    // written no more and may be closed.
    void WakeOnPost(int fd);

  private:
    static constexpr std::size_t kKept = 64;
    mutable std::mutex mutex_;
    std::vector<std::string> pending_;
    std::string latest_;
    int wakeFd_ = -1;
    std::atomic<std::uint32_t> serial_{0};
};

}  // namespace telkey
