#pragma once
// Standard input, output and error closed at start (`telkey <&- >&- 2>&-`, as some launchers and
// daemons start programs): the next files opened would take descriptors 0 to 2, and then a log
// line would go to a serial port or a socket. Run first thing in every main.

namespace telkey {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is not open. Nothing else is touched.
// Safe before any library's constructor (the executable runs it from .preinit_array).
void OpenStandardStreams() noexcept;

// A log line is dropped rather than wait for a reader that stalls (a pipe nobody drains, a
// terminal held by Ctrl-S): standard error gets a non-blocking description of its own when it is
// a pipe or a terminal, so whoever shares the old one keeps a blocking one, and std::cerr keeps
// writing after a line was dropped. A regular file never blocks; a socket (the journal) is left.
void UnblockStandardError() noexcept;

}  // namespace telkey
