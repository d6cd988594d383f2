#pragma once
// The directory where the participants of the message bus meet: their sockets and the file of
// registered names. It must belong to this user and be closed to everyone else.
#include <stdexcept>
#include <string>

namespace telkey {

// Any failure to join or use the bus; what() says what failed and what the user can do.
class BusError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// $TELKEY_BUS_DIR, else $XDG_RUNTIME_DIR/telkey-bus, else /tmp/telkey-bus-<uid>.
std::string DefaultBusDirectory();

// Creates the directory (mode 0700) when missing and checks that it is a private directory of
// this user's own. Returns it; throws BusError when it cannot be used.
std::string OpenBusDirectory(const std::string& dir);

}  // namespace telkey
