#pragma once
// Message services inside this program only, for a run without the message bus: names get
// identifiers from 0xC000 upward and a broadcast reaches this program's own handler.
#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "bus/message_services.h"

namespace telkey {

class LocalMessages : public MessageServices {
  public:
    std::uint32_t RegisterMessage(std::string_view name) override {
        std::string key(name);
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const auto found = std::find(names_.begin(), names_.end(), key);
        if (found != names_.end()) {
            return kFirstId + static_cast<std::uint32_t>(found - names_.begin());
        }
        names_.push_back(std::move(key));
        return kFirstId + static_cast<std::uint32_t>(names_.size() - 1);
    }

    void Broadcast(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) override {
        if (handler_) handler_(msg, wParam, lParam);
    }

    void SetHandler(Handler handler) override { handler_ = std::move(handler); }

  private:
    static constexpr std::uint32_t kFirstId = 0xC000;
    std::vector<std::string> names_;
    Handler handler_;
};

}  // namespace telkey
