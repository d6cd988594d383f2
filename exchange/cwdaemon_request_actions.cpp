// What each cwdaemon request does: text to key, settings, abort and reset, transmit, tune.
#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <algorithm>
#include <array>

#include "engine/codepage1251.h"
#include "engine/engine.h"
#include "engine/morse_tables.h"
#include "exchange/cwdaemon_listener.h"
#include "transmit/queue_marks.h"

namespace telkey {

namespace {

using Kind = CwdaemonRequestKind;
using Item = CwdaemonTextItem;

constexpr char kReplyEnd[] = "\r\n";
constexpr char kBreakReply[] = "break\r\n";

// The Input character that keys a code number: a character of the Morse table where one gives
// that code, else the queue's code character.
QChar ProsignChar(std::uint8_t code) {
    static const std::array<char16_t, 256> table = [] {
        std::array<char16_t, 256> t{};
        for (int b = 0x21; b <= 0xFF; ++b) {
            const auto byte = static_cast<std::uint8_t>(b);
            // These two start macro commands in Input.
            if (byte == '`' || byte == '~') continue;
            const std::uint8_t c = CharToCode(byte);
            if (c != CodeWordSpace && t[c] == 0) {
                t[c] = static_cast<char16_t>(Cp1251ToUnicode(byte));
            }
        }
        return t;
    }();
    return QChar(table[code] != 0 ? table[code] : QueueCodeChar(code));
}

}  // namespace

void CwdaemonListener::Handle(const CwdaemonRequest& request, const Peer& peer) {
    switch (request.kind) {
        case Kind::Ignored:
            Log(request.detail + " from " + EndpointText(peer) + ": ignored");
            break;
        case Kind::Text:
            HandleText(request, peer);
            break;
        case Kind::Reset:
            Reset();
            break;
        case Kind::Speed:
            k_->Setting(Action::What::Speed, request.value);
            break;
        case Kind::Tone:
            k_->Setting(Action::What::Tone, request.value);
            break;
        case Kind::Abort:
            Abort();
            break;
        case Kind::Exit:
            Log("request to end the program refused; Telkey ends from its window only");
            break;
        case Kind::WordMode:
            wordMode_ = true;
            break;
        case Kind::Weighting:
            k_->Setting(Action::What::Weighting, request.value);
            break;
        case Kind::Device:
            Log("request for keying device \"" + request.detail +
                "\" ignored; Telkey keys through its own ports (see --ports)");
            break;
        case Kind::SoundSystem:
            Log("request for sound system \"" + request.detail +
                "\" ignored; the sidetone is Telkey's own (Speaker button)");
            break;
        case Kind::Transmit:
            k_->SetTransmit(request.value != 0);
            break;
        case Kind::Tune:
            // A tune cuts in on text being keyed, as an abort stops it (not in word mode, where
            // the logger asked that nothing be aborted).
            if (request.value != 0 && !wordMode_ && !k_->QueueIdle() && armed_) {
                SendReply({kBreakReply, armed_->peer});
                armed_.reset();
            }
            k_->QueueTune(request.value, !wordMode_);
            break;
        case Kind::ArmReply:
            armed_ = Reply{
                QByteArray("h") + QByteArray::fromStdString(request.replyText) + kReplyEnd, peer};
            break;
        case Kind::PttDelay:
            SetPttDelay(request.value);
            break;
        case Kind::NoEffect:
            break;
    }
}

void CwdaemonListener::SendReply(const Reply& reply) {
    std::string error;
    if (!receiver_.Send(reply.bytes.toStdString(), reply.peer, error)) {
        Log("reply to " + EndpointText(reply.peer) + " not sent: " + error);
    }
}

bool CwdaemonListener::QueueReply(const Reply& reply) {
    Action answer;
    answer.what = Action::What::Reply;
    answer.run = [this, reply](bool keyed) {
        SendReply(keyed ? reply : Reply{kBreakReply, reply.peer});
    };
    answer.replyKey = std::hash<std::string>{}(EndpointText(reply.peer)) | 1U;
    return k_->AddAction(std::move(answer));
}

void CwdaemonListener::HandleText(const CwdaemonRequest& request, const Peer& peer) {
    std::vector<Reply> replies;
    if (armed_) {
        replies.push_back(*armed_);
        armed_.reset();
    }
    if (request.caretReply) {
        replies.push_back({QByteArray::fromStdString(request.replyText) + kReplyEnd, peer});
    }

    // Speed changes before the first character take effect at once when nothing is queued.
    const bool idle = k_->QueueIdle();
    std::size_t first = 0;
    for (; idle && first < request.items.size(); ++first) {
        const Item& item = request.items[first];
        if (item.kind == Item::Kind::SpeedUp) {
            k_->ChangeSpeed(kCwdaemonSpeedStepLpm);
        } else if (item.kind == Item::Kind::SpeedDown) {
            k_->ChangeSpeed(-kCwdaemonSpeedStepLpm);
        } else {
            break;
        }
    }
    if (idle && first == request.items.size()) {
        for (const Reply& reply : replies) SendReply(reply);
        return;
    }

    std::size_t dropped = 0;
    for (std::size_t i = first; i < request.items.size(); ++i) {
        const Item& item = request.items[i];
        if (k_->InputRoom() < 1) {
            ++dropped;
            continue;
        }
        switch (item.kind) {
            case Item::Kind::Char:
                k_->QueueText(QChar(static_cast<char16_t>(item.value)));
                break;
            case Item::Kind::Prosign:
                k_->QueueText(ProsignChar(item.value));
                break;
            case Item::Kind::SpeedUp:
            case Item::Kind::SpeedDown: {
                Action step;
                step.what = Action::What::SpeedStep;
                step.value = item.kind == Item::Kind::SpeedUp ? kCwdaemonSpeedStepLpm
                                                              : -kCwdaemonSpeedStepLpm;
                if (!k_->AddAction(step)) k_->Apply(step);
                break;
            }
        }
    }
    const bool whole = dropped == 0;
    if (!whole) {
        Log("Input is full: " + std::to_string(dropped) + " of " +
            std::to_string(request.items.size() - first) + " characters of a request from " +
            EndpointText(peer) + " dropped");
    }
    for (Reply& reply : replies) {
        // A reply follows its text only when all of it will be keyed.
        if (whole && QueueReply(reply)) continue;
        SendReply({kBreakReply, reply.peer});
    }
}

void CwdaemonListener::Reset() {
    wordMode_ = false;
    SetPttDelay(0);
    StopKeying();
    t_.engine->flags.TxHeld.store(0);
    k_->TransmitOff();
    k_->RestoreStartupSettings();
}

void CwdaemonListener::Abort() {
    if (wordMode_) {
        Log("abort ignored in word mode (a reset ends word mode)");
        return;
    }
    StopKeying();
    // A client that switched transmit on holds it until it switches it off.
    if (t_.engine->flags.TxHeld.load() == 0) k_->TransmitOff();
}

// Replies waiting get break, the armed one too.
void CwdaemonListener::StopKeying() {
    if (armed_) {
        SendReply({kBreakReply, armed_->peer});
        armed_.reset();
    }
    k_->StopKeying();
}

// The logger's lead between PTT on and the first element; 0 leaves Telkey's own.
void CwdaemonListener::SetPttDelay(std::int32_t ms) {
    k_->SetPttTiming(ms, 0);
}

}  // namespace telkey
