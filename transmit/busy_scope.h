#pragma once
// A re-entry guard: sets a busy flag for the length of a scope and clears it however the scope
// ends.

namespace telkey {

class BusyScope {
  public:
    explicit BusyScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~BusyScope() { flag_ = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

  private:
    bool& flag_;
};

}  // namespace telkey
