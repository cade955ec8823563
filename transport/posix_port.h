// The byte path of an open serial port on POSIX: poll, read and write on its
// file descriptor. The descriptor belongs to whoever opened the port; this
// class never closes it, but shutdown() makes sure no call is using it any
// more when the owner does.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "base/quick_mutex.h"
#include "base/runtime.h"
#include "transport/frame_reader.h"

namespace mew {

class PosixPort : public ByteSource {
public:
    explicit PosixPort(int fd);
    ~PosixPort() override;
    PosixPort(const PosixPort &) = delete;
    PosixPort &operator=(const PosixPort &) = delete;

    std::size_t read_some(char *into, std::size_t max, double timeout) override;
    // Watches the descriptor and the close alone: interrupt() is for the
    // other readers. One descriptor less for the kernel to watch on every
    // wait of a thread that reads its own answers.
    std::size_t read_some_quietly(char *into, std::size_t max, double timeout) override;
    void write(std::string_view bytes);
    // Wakes every call that waits on the port, waits until none is left and
    // refuses all later ones with PortClosedError.
    void shutdown();
    // Makes a wait for input in progress (or the next one) end as if its
    // time-out had passed.
    void interrupt();
    // Forgets interrupts no wait has seen.
    void clear_interrupts();
    bool is_closed() const { return closed_.load(); }

private:
    runtime::ProcessOwner owner_;
    int fd_;
    int wake_[2] = {-1, -1};       // written once by shutdown()
    int interrupt_[2] = {-1, -1};  // a byte for each interrupt()
    std::atomic<bool> closed_{false};
    std::atomic<int> readers_{0};  // waits for input under way
    // Held by every reader (writer) for its whole call: one at a time, and
    // shutdown() takes both to know that none is left.
    QuickMutex read_mutex_, write_mutex_;

    // Waits for `events` on the port; false on time-out. `interruptible`:
    // an interrupt() ends a wait for input.
    bool wait(short events, double timeout, bool interruptible = true);
    // write()'s loop, under its lock: until every byte is out.
    [[gnu::noinline]] void write_rest(std::string_view bytes);
    std::size_t read_some(char *into, std::size_t max, double timeout, bool interruptible);
};

}  // namespace mew
