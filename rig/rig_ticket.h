#pragma once
// One request to the rig and its answer. The caller keeps the ticket and reads its outcome when it
// likes (a status word, safe from any thread), or is called back once when the answer is known.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace telkey::rig {

enum class RigOp { SetPtt, GetPtt, SendMorse, StopMorse, SetKeySpeed, Identify };

struct RigRequest {
    RigOp op = RigOp::Identify;
    bool on = false;   // SetPtt
    int wpm = 0;       // SetKeySpeed, words per minute
    std::string text;  // SendMorse

    static RigRequest Of(RigOp op, bool on = false, int wpm = 0, std::string text = {}) {
        RigRequest request;
        request.op = op;
        request.on = on;
        request.wpm = wpm;
        request.text = std::move(text);
        return request;
    }
};

// Pending until answered; every other value is final.
enum class RigOutcome {
    Pending,
    Ok,
    Refused,       // no connection to the rig or rigctld
    NotAnswering,  // no answer within the bound, or the connection broke
    NotAvailable,  // the rig (or its backend) lacks the command
    Rejected,      // the rig answered with an error
    Closed,        // the link was shut before the request ran
};

// The reason in words, as shown to the operator.
const char* OutcomeWords(RigOutcome outcome);

class RigTicket {
  public:
    using Callback = std::function<void(const RigTicket&)>;
    using Clock = std::chrono::steady_clock;

    RigTicket(RigRequest request, Clock::time_point deadline, Callback done)
        : request_(std::move(request)), deadline_(deadline), done_(std::move(done)) {}

    RigOutcome Outcome() const { return outcome_.load(std::memory_order_acquire); }
    bool Pending() const { return Outcome() == RigOutcome::Pending; }
    bool Ok() const { return Outcome() == RigOutcome::Ok; }
    // What was done or what failed, in words; empty while pending.
    std::string Words() const;
    // The answer's value: PTT read back (1 on, 0 off).
    int Value() const;
    // Blocks up to `limit` for the answer. For tests, benchmarks and worker threads: the keyer and
    // the window poll Outcome() or take the callback instead.
    RigOutcome Wait(std::chrono::milliseconds limit) const;

    const RigRequest& Request() const { return request_; }
    Clock::time_point Deadline() const { return deadline_; }

    // The caller stops waiting (the keyer's own bound passed): the ticket fails now, and a PTT on
    // the rig confirms later is switched off again by the link. False when already answered.
    bool GiveUp() { return Resolve(RigOutcome::NotAnswering, "given up waiting for the rig"); }

    // Sets the answer once; false when the ticket was already answered (say, by its deadline).
    // Runs the callback on the answering thread.
    bool Resolve(RigOutcome outcome, std::string words, int value = 0);

  private:
    const RigRequest request_;
    const Clock::time_point deadline_;
    Callback done_;
    mutable std::mutex mutex_;
    mutable std::condition_variable answered_;
    std::atomic<RigOutcome> outcome_{RigOutcome::Pending};
    std::string words_;
    int value_ = 0;
};

using RigTicketPtr = std::shared_ptr<RigTicket>;

}  // namespace telkey::rig
