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
#include "exchange/cwdaemon_listener_shared.h"
#include "options/speed_control.h"
#include "options/speed_table.h"
#include "transmit/macro_expansion.h"
#include "transmit/transmit_queue.h"
#include "transmit/tx_control.h"

namespace telkey {

using namespace cwdaemon_detail;

namespace {

using Kind = CwdaemonRequestKind;
using Item = CwdaemonTextItem;

constexpr int kTuneBackstopMarginMs = 500;

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
            Setting(Action::What::Speed, request.value);
            break;
        case Kind::Tone:
            Setting(Action::What::Tone, request.value);
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
            Setting(Action::What::Weighting, request.value);
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
            SetTransmit(request.value != 0);
            break;
        case Kind::Tune:
            QueueTune(request.value);
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

// A setting acts on the text sent after it: at once when nothing waits to be keyed, else at
// its place in the queue.
void CwdaemonListener::Setting(Action::What what, std::int32_t value) {
    Action action;
    action.what = what;
    action.value = value;
    if (QueueIdle() || !AddAction(action)) Apply(action);
}

void CwdaemonListener::Apply(const Action& action) {
    switch (action.what) {
        case Action::What::Reply:
            SendReply(action.reply);
            break;
        case Action::What::SpeedStep:
            ChangeSpeed(action.value);
            break;
        case Action::What::Speed:
            SetSpeedWpm(action.value);
            break;
        case Action::What::Tone:
            SetTone(action.value);
            break;
        case Action::What::Weighting:
            SetWeighting(action.value);
            break;
        case Action::What::TransmitOff:
            if (ownTx_ && t_.engine->flags.TxHeld.load() == 0 && !MoreToKey()) TransmitOff();
            break;
    }
}

int CwdaemonListener::PendingReplies() const {
    return static_cast<int>(std::count_if(actions_.begin(), actions_.end(), [](const auto& a) {
        return a.second.what == Action::What::Reply;
    }));
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
    const bool idle = QueueIdle();
    std::size_t first = 0;
    for (; idle && first < request.items.size(); ++first) {
        const Item& item = request.items[first];
        if (item.kind == Item::Kind::SpeedUp) {
            ChangeSpeed(kCwdaemonSpeedStepLpm);
        } else if (item.kind == Item::Kind::SpeedDown) {
            ChangeSpeed(-kCwdaemonSpeedStepLpm);
        } else {
            break;
        }
    }
    if (idle && first == request.items.size()) {
        for (const Reply& reply : replies) SendReply(reply);
        return;
    }

    const qsizetype before = pendingText_.size();
    std::size_t dropped = 0;
    for (std::size_t i = first; i < request.items.size(); ++i) {
        const Item& item = request.items[i];
        if (InputRoom() < 1) {
            ++dropped;
            continue;
        }
        switch (item.kind) {
            case Item::Kind::Char:
                pendingText_.append(QChar(static_cast<char16_t>(item.value)));
                break;
            case Item::Kind::Prosign:
                pendingText_.append(ProsignChar(item.value));
                break;
            case Item::Kind::SpeedUp:
            case Item::Kind::SpeedDown: {
                Action step;
                step.what = Action::What::SpeedStep;
                step.value = item.kind == Item::Kind::SpeedUp ? kCwdaemonSpeedStepLpm
                                                              : -kCwdaemonSpeedStepLpm;
                if (!AddAction(step)) Apply(step);
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
    if (pendingText_.size() != before) pendingTx_ = true;
    for (Reply& reply : replies) {
        // A reply follows its text only when all of it will be keyed.
        Action answer;
        answer.reply = reply;
        if (whole && AddAction(answer)) continue;
        SendReply({kBreakReply, reply.peer});
    }
}

void CwdaemonListener::Reset() {
    wordMode_ = false;
    SetPttDelay(0);
    StopKeying();
    t_.engine->flags.TxHeld.store(0);
    TransmitOff();
    t_.speed->Speed = startSpeed_;
    t_.speed->Weighting = startWeighting_;
    t_.speed->ApplySpeed(true);
    SetTone(startTone_);
}

void CwdaemonListener::Abort() {
    if (wordMode_) {
        Log("abort ignored in word mode (a reset ends word mode)");
        return;
    }
    StopKeying();
    // A client that switched transmit on holds it until it switches it off.
    if (t_.engine->flags.TxHeld.load() == 0) TransmitOff();
}

// The keyer ends the character on the air with the element being keyed and keys nothing
// more. Settings queued behind the text take effect as they would have once it was keyed;
// replies get break.
void CwdaemonListener::StopKeying() {
    BreakReplies();
    std::vector<char16_t> order;
    const QTextDocument* doc = t_.Input->document();
    for (int i = 0, n = InputLength(t_.Input); i < n; ++i) {
        if (const char16_t mark = TransmitQueue::MarkAt(doc, i); actions_.count(mark) != 0) {
            order.push_back(mark);
        }
    }
    for (const QChar c : pendingText_) {
        if (actions_.count(c.unicode()) != 0) order.push_back(c.unicode());
    }
    ClearQueue();
    leadIn_.stop();
    marks_.HoldUntil(0);
    if (t_.engine->StopSending()) marks_.Withdrawn();
    EndTune();
    for (const char16_t mark : order) {
        const auto it = actions_.find(mark);
        if (it == actions_.end()) continue;
        const Action action = it->second;
        actions_.erase(it);
        Apply(action);
    }
}

// Switched off at once: the TX line holds itself until the last key-up of what is on the air.
void CwdaemonListener::TransmitOff() {
    ownTx_ = false;
    t_.tx->SetTxButton(false);
    t_.tx->ApplyTx();
}

// The logger's lead between PTT on and the first element; 0 leaves Telkey's own.
void CwdaemonListener::SetPttDelay(std::int32_t ms) {
    pttDelayMs_ = ms;
    t_.engine->keyerSettings.PttLeadMs.store(ms);
}

void CwdaemonListener::SetSpeedWpm(std::int32_t wpm) {
    EndTune();
    t_.speed->Speed = wpm * kLpmPerWpm;
    t_.speed->ApplySpeed(true);
}

void CwdaemonListener::ChangeSpeed(std::int32_t deltaLpm) {
    EndTune();
    t_.speed->Speed += deltaLpm;
    t_.speed->ApplySpeed(true);
}

void CwdaemonListener::SetTone(std::int32_t hz) {
    PortSettings& ports = t_.engine->portSettings;
    if (hz == 0) {
        // The sidetone goes quiet; the key line goes on keying.
        if (ports.UseSpeaker.load() != 0) {
            ports.UseSpeaker.store(0);
            t_.SpeakerButton->setChecked(false);
            silencedByTone_ = true;
        }
        return;
    }
    ports.SpeakerTone.store(hz);
    ports.ToneDivisor.store(ToneDivisor(hz));
    if (silencedByTone_) {
        silencedByTone_ = false;
        ports.UseSpeaker.store(1);
        t_.SpeakerButton->setChecked(true);
    }
}

void CwdaemonListener::SetWeighting(std::int32_t percent) {
    const int row = std::clamp(t_.speed->SpeedIndex, kSlowestRow, kFastestRow);
    EndTune();
    t_.speed->Weighting = percent * kSpeedTable[row].dotMs / 100;
    t_.speed->ApplySpeed(false);
}

void CwdaemonListener::SetTransmit(bool on) {
    if (on) {
        // Held on until the client switches it off: silence and an empty queue do not end it.
        t_.engine->flags.TxHeld.store(1);
        ownTx_ = false;
        t_.tx->SetTxButton(true);
        t_.tx->ApplyTx();
        return;
    }
    t_.engine->flags.TxHeld.store(0);
    // Off once what is queued has been keyed.
    if (t_.engine->flags.Transmitting.load() != 0 || pendingTx_) {
        if (!QueueMark(kMarkTxOff)) Log("Input is full: transmit off request dropped");
        return;
    }
    t_.tx->SetTxButton(false);
    t_.tx->ApplyTx();
}

void CwdaemonListener::QueueTune(std::int32_t seconds) {
    if (seconds == 0) {
        EndTune();
        return;
    }
    // A tune cuts in on text being keyed, as an abort stops it (not in word mode, where the
    // logger asked that nothing be aborted).
    if (!wordMode_ && !QueueIdle()) {
        CancelTransmitOff();
        StopKeying();
    }
    if (InputRoom() < 2) {
        Log("Input is full: tune request dropped");
        return;
    }
    QueueMark(static_cast<char16_t>(kMarkTuneFirst + seconds));
    QueueMark(kMarkTuneEnd);
    pendingTx_ = true;
}

// Runs where the tune's mark reached the front of Input: everything before it has been keyed
// and the mailbox is empty. The keyer keys one dot whose key-down lasts the whole tune: a
// weighting of w ticks on a dot of w + 1 keeps the key down 2w + 1 ticks and leaves a gap of one
// tick, after which the usual letter gap follows. The keyer thus owns the key line throughout
// and lets it go by itself; the mark behind the tune puts the speed back once the dot's echo
// is in, before anything else is handed over.
void CwdaemonListener::StartTune(std::int32_t seconds) {
    KeyerSettings& keyer = t_.engine->keyerSettings;
    const int tickMs = std::max(1, keyer.TickMs.load());
    const int ticks = seconds * 1000 / tickMs;
    const int weight = std::max(0, (ticks - 1) / 2);
    const int letterGapMs = keyer.DashTicks.load() * tickMs;
    keyer.WeightTicks.store(weight);
    keyer.DotTicks.store(weight + 1);
    if (!t_.engine->HandOver(kTuneCode)) {
        t_.speed->ApplySpeed(false);
        Log("tune dropped: the keyer's mailbox was not empty");
        return;
    }
    marks_.Handed(kTuneCode);
    tuning_ = true;
    tuneBackstop_.start(seconds * 1000 + letterGapMs + kTuneBackstopMarginMs);
}

void CwdaemonListener::EndTune() {
    if (!tuning_) return;
    tuning_ = false;
    tuneBackstop_.stop();
    t_.speed->ApplySpeed(false);
}

}  // namespace telkey
