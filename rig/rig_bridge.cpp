#include "rig/rig_bridge.h"

#include <cctype>
#include <cstring>

#include "engine/engine.h"
#include "engine/line_guard.h"
#include "engine/morse_tables.h"
#include "rig/rigctld_socket.h"

namespace telkey::rig {

// What the link's threads leave for the window thread.
struct RigBridge::Answers {
    std::mutex mutex;
    std::uint32_t failedRise = 0;
    bool failed = false;
    std::string failure;
    RigStatus status;
    std::uint64_t statusShown = 0;
};

namespace {

constexpr int kLettersPerWord = 5;
// Signs that rigs' keyers take for the prosigns; the rest has no common sign.
constexpr std::pair<const char*, const char*> kProsigns[] = {{"AR", "+"}, {"KN", "("}};
constexpr char kRigSigns[] = "/?.,=-";

}  // namespace

std::string RigText(std::uint8_t code) {
    if (code < 2) return " ";
    if (!KeysElements(code)) return "";
    const char* text = CodeText(code);
    for (const auto& [name, sign] : kProsigns) {
        if (std::strcmp(text, name) == 0) return sign;
    }
    if (std::strlen(text) != 1) return "";
    const auto ch = static_cast<unsigned char>(text[0]);
    if (ch < 0x80 && std::isalnum(ch) != 0)
        return std::string(1, static_cast<char>(std::toupper(ch)));
    if (ch != 0 && std::strchr(kRigSigns, ch) != nullptr)
        return std::string(1, static_cast<char>(ch));
    return "";
}

RigBridge::RigBridge(Engine& engine, const RigChoice& choice, Events events, RigTimings timings,
                     LineGuard* guard)
    : engine_(engine),
      guard_(guard),
      choice_(choice),
      events_(std::move(events)),
      answers_(std::make_shared<Answers>()) {
    RigFeed& feed = engine_.ports.Feed();
    feed.Listen(true);
    engine_.ports.WithdrawTxConfirmation();
    stopsSeen_ = feed.Stops();
    engine_.portSettings.PttLine.store(choice_.PttByLine() ? 1 : 0);
    engine_.portSettings.PttRig.store(choice_.PttByRig() ? 1 : 0);
    engine_.portSettings.KeyRig.store(choice_.key == KeyVia::Rig ? 1 : 0);
    engine_.ports.RewriteOutputs();
    engine_.WakeKeyer();
    // Status changes come on the link's threads: kept, and the window woken. At each connect
    // to rigctld (the operator's or Telkey's own for a serial rig) the guardian gets a
    // connection of its own (on the rig thread: it may block).
    link_ = std::make_unique<RigLink>(
        choice_.target, timings,
        [answers = answers_, &feed, guard = guard_, target = choice_.target,
         bound = timings.answerTimeout](const RigStatus& status) {
            if (guard != nullptr && status.health == RigHealth::Connected) {
                const bool own = target.kind == RigTarget::Kind::Serial;
                std::string error;
                const UniqueFd fd =
                    ConnectRigctld(own ? "127.0.0.1" : target.host,
                                   own ? status.childPort : target.port, bound, error);
                if (fd.Get() >= 0) guard->Hand(GuardedKind::Rigctld, kGuardSlotRig, fd.Get());
            }
            {
                std::lock_guard lock(answers->mutex);
                answers->status = status;
            }
            feed.Wake();
        });
    // A TX line already on is followed at once.
    feed.Wake();
}

RigBridge::~RigBridge() {
    // The link's end switches a PTT it put on off, and no answer comes after it.
    link_.reset();
    if (guard_ != nullptr) guard_->Forget(kGuardSlotRig);
    engine_.ports.WithdrawTxConfirmation();
    engine_.portSettings.PttRig.store(0);
    engine_.portSettings.KeyRig.store(0);
    engine_.portSettings.PttLine.store(1);
    engine_.ports.RewriteOutputs();
    engine_.WakeKeyer();
    engine_.ports.Feed().Listen(false);
}

int RigBridge::WakeupFd() const {
    return engine_.ports.Feed().WakeupFd();
}

void RigBridge::SetSpeed(int lpm) {
    const int wpm = lpm / kLettersPerWord;
    if (choice_.key != KeyVia::Rig || wpm == wpm_ || wpm <= 0) return;
    wpm_ = wpm;
    link_->SetKeySpeed(wpm);
}

void RigBridge::Service() {
    RigFeed& feed = engine_.ports.Feed();
    feed.ClearWakeup();
    FollowTx();
    if (choice_.key == KeyVia::Rig) FeedRig();

    RigStatus status;
    bool statusNew = false;
    std::string failure;
    {
        std::lock_guard lock(answers_->mutex);
        if (answers_->status.serial != answers_->statusShown) {
            answers_->statusShown = answers_->status.serial;
            status = answers_->status;
            statusNew = true;
        }
        // Only a failure for the rise still on counts; an older one was followed already.
        if (answers_->failed && answers_->failedRise == engine_.ports.TxRises() &&
            engine_.ports.TxLineOn()) {
            failure = answers_->failure;
        }
        answers_->failed = false;
    }
    if (statusNew && events_.status) events_.status(status);
    if (!failure.empty() && events_.pttFailed) events_.pttFailed(failure);
}

void RigBridge::FollowTx() {
    Ports& ports = engine_.ports;
    const bool on = ports.TxLineOn();
    const std::uint32_t rise = ports.TxRises();
    const bool wasOn = txSeen_;
    txSeen_ = on;
    // Transmit off ends what the rig's keyer still has, whoever switches the PTT.
    if (wasOn && !on && choice_.key == KeyVia::Rig) link_->StopMorse();
    if (!choice_.PttByRig()) return;
    if (on && (!pttAsked_ || rise != riseAsked_)) {
        pttAsked_ = true;
        riseAsked_ = rise;
        link_->SetPtt(true, [answers = answers_, &ports, rise](const RigTicket& ticket) {
            if (ticket.Ok()) {
                // Wakes the keyer, which may sleep until its next event.
                ports.ConfirmTx(rise);
            } else {
                std::lock_guard lock(answers->mutex);
                answers->failed = true;
                answers->failedRise = rise;
                answers->failure =
                    "The rig did not switch to transmit, nothing was sent: " + ticket.Words();
            }
            ports.Feed().Wake();
        });
    } else if (!on && pttAsked_) {
        pttAsked_ = false;
        link_->SetPtt(false);
    }
}

void RigBridge::FeedRig() {
    RigFeed& feed = engine_.ports.Feed();
    const std::uint32_t stops = feed.Stops();
    std::string text;
    for (std::uint8_t code = 0; feed.TakeStarted(code);) {
        const std::string sign = RigText(code);
        if (sign == " ") {
            spaceWaiting_ = true;
        } else if (!sign.empty()) {
            // A word space goes with the character after it: the rig's parser may drop a
            // text of blanks alone.
            if (spaceWaiting_) text += ' ';
            spaceWaiting_ = false;
            text += sign;
        }
    }
    if (stops != stopsSeen_) {
        // Escape or an abort: what was taken before it is not sent, and the rig stops.
        stopsSeen_ = stops;
        spaceWaiting_ = false;
        link_->StopMorse();
        return;
    }
    if (!text.empty()) link_->SendMorse(text);
}

}  // namespace telkey::rig
