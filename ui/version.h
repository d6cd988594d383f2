#pragma once
// The program's name and version, as the About box and --version show them.

namespace telkey {

inline constexpr char kProgramName[] = "Telkey";
inline constexpr char kProgramVersion[] = "0.20";

}  // namespace telkey
