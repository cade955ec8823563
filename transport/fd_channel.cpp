#include "transport/fd_channel.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <string>

namespace mew {

std::int64_t FdChannel::in_waiting() {
    int pending = 0;
    if (::ioctl(fd_, FIONREAD, &pending) != 0) pending = 0;
    return static_cast<std::int64_t>(buffered()) + pending;
}

void FdChannel::flush_input() {
    discard();
    // A terminal drops its input queue itself; from anything else (a socket)
    // what is there now is read and dropped.
    if (::tcflush(fd_, TCIFLUSH) == 0) return;
    char dropped[4096];
    while (port_.read_some(dropped, sizeof dropped, 0)) {
    }
}

}  // namespace mew
