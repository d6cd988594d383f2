#include "rig/hamlib_session.h"

#include <cerrno>
#include <cstring>
#include <mutex>

namespace telkey::rig {

namespace {

std::string HamlibWords(int code) {
    std::string words = rigerror2(code);
    while (!words.empty() && (words.back() == '\n' || words.back() == ' ')) words.pop_back();
    return words;
}

}  // namespace

HamlibSession::HamlibSession(const RigTarget& target, const RigTimings& timings)
    : target_(target), timings_(timings) {}

HamlibSession::~HamlibSession() {
    Close();
}

HamlibAnswer HamlibSession::Open() {
    Close();
    // Hamlib traces every call to stderr unless told otherwise; its level is process-wide.
    static std::once_flag quiet;
    std::call_once(quiet, [] { rig_set_debug(RIG_DEBUG_NONE); });
    const bool network = target_.kind == RigTarget::Kind::Rigctld;
    rig_ = rig_init(network ? RIG_MODEL_NETRIGCTL : target_.model);
    if (rig_ == nullptr) {
        return {RigOutcome::Refused, false, 0,
                "Hamlib has no rig model " + std::to_string(target_.model) +
                    ": choose one from rigctl -l"};
    }
    const std::string path =
        network ? target_.host + ":" + std::to_string(target_.port) : target_.device;
    if (!path.empty()) rig_set_conf(rig_, rig_token_lookup(rig_, "rig_pathname"), path.c_str());
    if (!network && target_.baud > 0) rig_->state.rigport.parm.serial.rate = target_.baud;
    // PTT goes by CAT command; a model that names no way of its own (the dummy) is told so.
    if (!network && rig_->caps->ptt_type == RIG_PTT_NONE)
        rig_->state.pttport.type.ptt = RIG_PTT_RIG;
    rig_->state.rigport.timeout = static_cast<int>(timings_.hamlibTimeout.count());
    rig_->state.rigport.retry = timings_.hamlibRetries;

    errno = 0;
    const int code = rig_open(rig_);
    const int openErrno = errno;
    if (code != RIG_OK) {
        Close();
        // Hamlib says "IO error" for both; the socket's errno tells a missing daemon apart.
        if (network && openErrno == ECONNREFUSED) return {RigOutcome::Refused, true, 0, ""};
        if (code == -RIG_ETIMEOUT || network) return {RigOutcome::NotAnswering, true, 0, ""};
        return {RigOutcome::Refused, true, 0,
                "cannot open " + target_.device + ": " +
                    (openErrno != 0 ? std::strerror(openErrno) : HamlibWords(code))};
    }
    open_ = true;
    const char* info = rig_get_info(rig_);
    std::string name = std::string(rig_->caps->mfg_name) + " " + rig_->caps->model_name;
    if (network) name = info != nullptr && *info != '\0' ? info : target_.Describe();
    return {RigOutcome::Ok, false, 0, name};
}

void HamlibSession::Close() {
    if (rig_ == nullptr) return;
    if (open_) rig_close(rig_);
    rig_cleanup(rig_);
    rig_ = nullptr;
    open_ = false;
}

HamlibAnswer HamlibSession::Answer(int code) const {
    // Hamlib's calls return its error codes negated.
    switch (code < 0 ? -code : code) {
        case RIG_OK:
            return {};
        case RIG_ENAVAIL:
        case RIG_ENIMPL:
            return {RigOutcome::NotAvailable, false, 0, ""};
        case RIG_ETIMEOUT:
            return {RigOutcome::NotAnswering, true, 0, ""};
        case RIG_EIO:
        case RIG_EINTERNAL:
            return {RigOutcome::NotAnswering, true, 0, HamlibWords(code)};
        default:
            return {RigOutcome::Rejected, false, 0, HamlibWords(code)};
    }
}

HamlibAnswer HamlibSession::Call(const RigRequest& request) {
    switch (request.op) {
        case RigOp::SetPtt:
            return Answer(rig_set_ptt(rig_, RIG_VFO_CURR, request.on ? RIG_PTT_ON : RIG_PTT_OFF));
        case RigOp::GetPtt: {
            ptt_t ptt = RIG_PTT_OFF;
            HamlibAnswer answer = Answer(rig_get_ptt(rig_, RIG_VFO_CURR, &ptt));
            answer.value = ptt != RIG_PTT_OFF ? 1 : 0;
            return answer;
        }
        case RigOp::SendMorse:
            return Answer(rig_send_morse(rig_, RIG_VFO_CURR, request.text.c_str()));
        case RigOp::StopMorse:
            return Answer(rig_stop_morse(rig_, RIG_VFO_CURR));
        case RigOp::SetKeySpeed: {
            value_t speed{};
            speed.i = request.wpm;
            return Answer(rig_set_level(rig_, RIG_VFO_CURR, RIG_LEVEL_KEYSPD, speed));
        }
        case RigOp::Identify: {
            // A real exchange, so a rig that stopped answering shows here.
            freq_t freq = 0;
            HamlibAnswer answer = Answer(rig_get_freq(rig_, RIG_VFO_CURR, &freq));
            if (answer.connectionLost) return answer;
            answer = {};
            const char* info = rig_get_info(rig_);
            answer.detail = target_.kind == RigTarget::Kind::Rigctld && info != nullptr && *info
                                ? info
                                : std::string(rig_->caps->mfg_name) + " " + rig_->caps->model_name;
            return answer;
        }
    }
    return {RigOutcome::Rejected, false, 0, "unknown request"};
}

}  // namespace telkey::rig
