#pragma once
// Puts the emulated WinKeyer on the main window, as the command line or [Devices] asks.
#include <memory>
#include <string>

namespace telkey {

class LoggerKeying;
class WinkeyerPort;

// The port, its link in place; null with `error` set when it cannot be opened. Says on
// standard error where the link is. An empty `linkPath` takes the default.
std::unique_ptr<WinkeyerPort> StartWinkeyer(LoggerKeying& keying, const std::string& linkPath,
                                            std::string& error);

}  // namespace telkey
