#pragma once
// MessageServices for window tests: registers names in-process, records every broadcast and
// delivers it to this program's own handler, as the bus does.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <algorithm>
#include <cctype>

#include "bus/message_services.h"

namespace telkey::test {

class RecordingMessages : public MessageServices {
  public:
    struct Message {
        std::uint32_t msg;
        std::int32_t wParam;
        std::int32_t lParam;
        bool operator==(const Message&) const = default;
    };

    std::uint32_t RegisterMessage(std::string_view name) override {
        std::string key(name);
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (names_[i] == key) return kFirstId + static_cast<std::uint32_t>(i);
        }
        names_.push_back(key);
        return kFirstId + static_cast<std::uint32_t>(names_.size() - 1);
    }

    void Broadcast(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) override {
        sent.push_back({msg, wParam, lParam});
        if (handler_) handler_(msg, wParam, lParam);
    }

    void SetHandler(Handler handler) override { handler_ = std::move(handler); }

    // Delivers a message from "another program" to this program's handler.
    std::int32_t Deliver(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
        return handler_ ? handler_(msg, wParam, lParam) : 0;
    }

    // wParams of the broadcasts of one message, in order.
    std::vector<std::int32_t> WParams(std::uint32_t msg) const {
        std::vector<std::int32_t> out;
        for (const auto& m : sent) {
            if (m.msg == msg) out.push_back(m.wParam);
        }
        return out;
    }

    std::vector<Message> sent;

  private:
    static constexpr std::uint32_t kFirstId = 0xC000;
    std::vector<std::string> names_;
    Handler handler_;
};

}  // namespace telkey::test
