#pragma once
// A pseudo-terminal that a serial program opens as if it were a keyer's port: the slave side
// is reached through a symbolic link at a fixed path. The master stays open for as long as
// this lives, and so does one descriptor of the slave, so that the master never sees a
// hang-up when the program closes its port. The program's opens and closes are watched
// (inotify on the slave), so that a command cut short by a close can be dropped. No Qt.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace telkey {

class PtyLink {
  public:
    PtyLink() = default;
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // Opens the pseudo-terminal in raw mode and makes `linkPath` a symbolic link to its slave
    // (mode 0600), creating the link's folder (mode 0700) when it is missing. A link left by
    // a run that ended without removing it is replaced; anything else at the path is not.
    bool Open(const std::string& linkPath, std::string& error);
    // Removes the link and closes the pseudo-terminal.
    void Close();

    int MasterFd() const { return master_; }
    // Readable when the program opened or closed the port.
    int WatchFd() const { return watch_; }
    const std::string& SlavePath() const { return slavePath_; }
    const std::string& LinkPath() const { return linkPath_; }

    // What the program wrote, without blocking; 0 when nothing waits.
    std::size_t Read(std::uint8_t* bytes, std::size_t size);
    // Writes to the program; what the pseudo-terminal cannot take now is dropped (false).
    bool Write(const std::uint8_t* bytes, std::size_t size);
    // Takes the open and close events; the program's opens of the port minus its closes are
    // then Openers().
    struct OpenEvents {
        int opened = 0;
        int closed = 0;
    };
    OpenEvents TakeOpenEvents();
    int Openers() const { return openers_; }
    // Drops what was written to the program and not read (it closed the port meanwhile).
    void DropUnread();

  private:
    int master_ = -1;
    int slave_ = -1;
    int watch_ = -1;
    int openers_ = 0;
    std::string slavePath_;
    std::string linkPath_;
};

// $XDG_RUNTIME_DIR/telkey/winkeyer, or under /tmp/telkey-UID when the variable is not set.
std::string DefaultWinkeyerLink();

}  // namespace telkey
