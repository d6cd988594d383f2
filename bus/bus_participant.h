#pragma once
// One participant of the Telkey message bus: registers message names, broadcasts synchronously to
// every participant (itself included) and serves the frames that others send to its socket.
// Not thread-safe: one thread owns a participant; an event loop watches PollFd() and calls
// ServePending() when it is readable.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bus/bus_frame.h"
#include "bus/bus_names.h"
#include "bus/message_services.h"

namespace telkey {

// How long a broadcast waits for the participants' answers before it skips the silent ones.
constexpr std::chrono::milliseconds kBusAnswerTimeout{5000};

// Broadcasts of one message nested inside each other (participants that answer a message with the
// same message) stop at this depth. A participant's own handler never gets back a message that it
// broadcasts while handling it.
constexpr int kMaxSameMessageNesting = 16;

struct BroadcastReport {
    int answered = 0;      // peers that answered (the participant itself not counted)
    int skipped = 0;       // peers that did not answer in time, refused or hung up
    int removed = 0;       // sockets whose owner was gone, removed from the directory
    int unresponsive = 0;  // of the skipped: peers not asked, as they still owe an answer
    bool dropped = false;  // not delivered at all: nested too deep in itself
};

class BusParticipant final : public MessageServices {
  public:
    // Joins the bus in `directory` (see OpenBusDirectory). A participant that does not listen
    // can register and broadcast but receives nothing from others. Throws BusError.
    explicit BusParticipant(const std::string& directory, bool listen = true);
    ~BusParticipant() override;
    BusParticipant(const BusParticipant&) = delete;
    BusParticipant& operator=(const BusParticipant&) = delete;

    std::uint32_t RegisterMessage(std::string_view name) override;
    void Broadcast(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) override;
    void SetHandler(Handler handler) override;

    // Broadcast, telling how the peers fared.
    BroadcastReport BroadcastWithReport(std::uint32_t msg, std::int32_t wParam,
                                        std::int32_t lParam);

    // Readable whenever ServePending() has work; -1 for a participant that does not listen.
    int PollFd() const { return epollFd_; }
    // Accepts waiting peers and serves the frames that have arrived; never blocks. The handler
    // may itself broadcast. An exception from the handler is passed on after the peer's answer.
    void ServePending();

    void WatchWhileWaiting(int fd, std::function<void()> ready) override;
    void StopWaiting() override { stopWaiting_ = true; }
    std::string RegistrationProblem() const override { return names_.Problem(); }

    // The registered name of a message identifier.
    std::optional<std::string> MessageName(std::uint32_t id) { return names_.NameOf(id); }
    const std::string& Directory() const { return directory_; }
    const std::string& SocketPath() const { return socketPath_; }

  private:
    struct Connection {
        std::array<std::uint8_t, kBusFrameSize> buffer{};
        std::size_t have = 0;
        std::array<std::uint8_t, kBusAnswerSize> unsent{};  // an answer the socket would not take
        std::size_t unsentSize = 0;
        bool busy = false;           // its frame is being handled now
        bool watched = false;        // in the poll set
        std::uint32_t events = 0;    // what it is watched for
        std::uint64_t lastUsed = 0;  // for dropping the longest idle when there are too many
    };

    void Listen();
    void AcceptPending();
    void ServeConnection(int fd);
    bool FlushAnswer(int fd, Connection& connection);
    void Watch(int fd, Connection& connection, std::uint32_t events);
    void Unwatch(int fd, Connection& connection);
    void CloseConnection(int fd);
    void DropIdlestConnection();
    std::int32_t CallHandler(const BusFrame& frame);
    bool StillOwesAnswer(const std::string& path);
    void RunWaitWatches(const std::vector<int>& readable);

    std::string directory_;
    std::string socketPath_;
    BusNames names_;
    std::shared_ptr<Handler> handler_;
    int listenFd_ = -1;
    int epollFd_ = -1;
    std::map<int, Connection> connections_;
    std::uint64_t useCounter_ = 0;
    // Peers that let a broadcast run into the bound, by socket path: the connection that still
    // waits for their answer. They are not asked again until that answer has come.
    std::map<std::string, int> unresponsive_;
    std::map<int, std::shared_ptr<std::function<void()>>> waitWatches_;
    std::vector<std::uint32_t> broadcasting_;  // messages whose broadcast is under way, nested
    std::vector<std::uint32_t> ownHandling_;   // messages this participant's handler is in
    bool stopWaiting_ = false;
};

}  // namespace telkey
