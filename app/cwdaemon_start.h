#pragma once
// Puts the cwdaemon listener on the main window, as the command line asks.
#include <memory>
#include <string>

namespace telkey {

class CwdaemonListener;
class TForm1;
struct CwdaemonOptions;

// The listener, listening; null with `error` set when it cannot listen. Says on standard error
// where it listens, with a warning when that is reachable from other machines.
std::unique_ptr<CwdaemonListener> StartCwdaemon(TForm1& form, const CwdaemonOptions& options,
                                                std::string& error);

}  // namespace telkey
