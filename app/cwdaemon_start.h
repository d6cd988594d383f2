#pragma once
// Puts the cwdaemon listener on the main window, as the command line asks.
#include <memory>
#include <string>

namespace telkey {

class CwdaemonListener;
class LoggerKeying;
class TForm1;
struct CwdaemonOptions;

// The keying the logger protocols share, on the main window.
std::unique_ptr<LoggerKeying> MakeLoggerKeying(TForm1& form);

// The listener, listening; null with `error` set when it cannot listen. Says on standard error
// where it listens, with a warning when that is reachable from other machines.
std::unique_ptr<CwdaemonListener> StartCwdaemon(TForm1& form, LoggerKeying& keying,
                                                const CwdaemonOptions& options, std::string& error);

}  // namespace telkey
