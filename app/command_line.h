#pragma once
// The program's command line: the port options, the settings directory, --help and --version.
// Options of the form
// "--name" are Telkey's; other arguments are left to the window toolkit (-platform, -display).
#include <string>
#include <string_view>
#include <vector>

#include "backends/port_bus_factory.h"
#include "exchange/cwdaemon_options.h"
#include "rig/rig_choice.h"

namespace telkey {

// Exit status for a command line that cannot be used.
inline constexpr int kExitUsage = 2;

struct CommandLine {
    PortBusOptions ports;
    CwdaemonOptions cwdaemon;
    rig::RigOptions rig;
    // --winkeyer[=PATH]: the emulated WinKeyer's link; empty PATH takes the default.
    bool winkeyer = false;
    std::string winkeyerLink;
    // --settings-dir[=DIR]: the working directory for the settings; empty keeps the one started in.
    std::string settingsDir;
    bool help = false;
    bool version = false;
    // Arguments that are not Telkey's, in order.
    std::vector<std::string> others;
};

// Parses the arguments after the program name. False, with `error` saying which argument is
// wrong and why, when an argument that starts with "--" is not a known option or has a bad value.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& line, std::string& error);

// Makes `dir` the working directory, creating it when missing. False, with `error` naming the
// directory and the reason, when it cannot be entered.
bool EnterSettingsDirectory(const std::string& dir, std::string& error);

// The settings file the run will use, named from the directory started in (before
// EnterSettingsDirectory).
std::string SettingsFileOf(const CommandLine& line);

std::string UsageText(std::string_view program);
std::string VersionText();

}  // namespace telkey
