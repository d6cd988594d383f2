#pragma once
// Standard input, output and error closed at start (`telkey <&- >&- 2>&-`, as some launchers and
// daemons start programs): the next files opened would take descriptors 0 to 2, and then a log
// line would go to a serial port or a socket. Run first thing in every main.

namespace telkey {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is not open. Nothing else is touched.
void OpenStandardStreams() noexcept;

}  // namespace telkey
