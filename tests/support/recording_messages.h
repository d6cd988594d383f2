#pragma once
// MessageServices for window tests: registers names in-process, records every broadcast and
// delivers it to this program's own handler, as the bus does.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>

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
        if (registrationFails) return 0;
        if (oneIdForAll) return kFirstId;
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
        if (whileWaiting) {
            ++waitDepth;
            maxWaitDepth = std::max(maxWaitDepth, waitDepth);
            whileWaiting();
            --waitDepth;
        }
    }

    void SetHandler(Handler handler) override { handler_ = std::move(handler); }

    void WatchWhileWaiting(int fd, std::function<void()> ready) override {
        if (ready) {
            watches[fd] = std::move(ready);
        } else {
            watches.erase(fd);
        }
    }

    std::string RegistrationProblem() const override {
        return registrationFails || oneIdForAll ? problem : std::string();
    }

    // Runs the work watched while a broadcast waits, as the bus does when it is ready.
    void RunWatches() {
        const auto copy = watches;
        for (const auto& [fd, ready] : copy) ready();
    }

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

    // A participant that takes its time: runs after every broadcast's own delivery, while the
    // broadcast waits. waitDepth counts broadcasts waiting inside each other.
    std::function<void()> whileWaiting;
    int waitDepth = 0;
    int maxWaitDepth = 0;
    std::map<int, std::function<void()>> watches;
    // A damaged file of names: every registration fails, or every name gets the same number.
    bool registrationFails = false;
    bool oneIdForAll = false;
    std::string problem;

  private:
    static constexpr std::uint32_t kFirstId = 0xC000;
    std::vector<std::string> names_;
    Handler handler_;
};

}  // namespace telkey::test
