#pragma once
// What the station uses the rig for, as the Station dialog, the settings file and the command
// line name it: PTT by the port's line, the rig (CAT) or both; the text keyed by the port's line
// or the rig's own keyer; and where the rig is.
#include <optional>
#include <string>
#include <string_view>

#include "rig/rig_link.h"

namespace telkey::rig {

enum class PttVia { Line, Rig, Both };
enum class KeyVia { Line, Rig };

struct RigChoice {
    PttVia ptt = PttVia::Line;
    KeyVia key = KeyVia::Line;
    RigTarget target;

    // The rig is used at all: a link to it is needed.
    bool UsesRig() const { return ptt != PttVia::Line || key == KeyVia::Rig; }
    bool PttByRig() const { return ptt != PttVia::Line; }
    bool PttByLine() const { return ptt != PttVia::Rig; }
};

// "line", "rig", "both" (as the command line and the settings file write them).
std::string_view PttViaWord(PttVia via);
std::optional<PttVia> ParsePttVia(std::string_view word);
std::string_view KeyViaWord(KeyVia via);
std::optional<KeyVia> ParseKeyVia(std::string_view word);

// The rig as the command line names it for one run; what it leaves out comes from the file.
struct RigOptions {
    std::optional<PttVia> ptt;     // --ptt=line|rig|both
    std::optional<KeyVia> key;     // --key=line|rig
    std::optional<RigTarget> rig;  // --rig=HOST:PORT, or --rig-model=N with --rig-port=DEV
    int model = 0;
    std::string device;
    int baud = 0;  // --rig-baud=N; 0 keeps the model's speed
};

// Takes one of the rig's options. False when `arg` is none of them; true with `error` set when
// it is one with a bad value.
bool ParseRigOption(std::string_view arg, RigOptions& options, std::string& error);
// After the last argument: a serial rig needs both its model and its port, and one rig only.
bool FinishRigOptions(RigOptions& options, std::string& error);
// The choice of this run: the command line's options over the file's.
RigChoice MergeRigChoice(const RigOptions& commandLine, RigChoice file);

// "HOST:PORT" for rigctld; a bare HOST takes the default port. False with `error` in words.
bool ParseRigctldAddress(std::string_view text, RigTarget& target, std::string& error);
// "HOST:PORT" of a rigctld target.
std::string RigctldAddress(const RigTarget& target);

}  // namespace telkey::rig
