#include "backends/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

namespace telkey {

void OpenStandardStreams() noexcept {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0) continue;
        // The lowest free descriptor: this one, as those below it are open.
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) ::close(null);
    }
}

}  // namespace telkey
