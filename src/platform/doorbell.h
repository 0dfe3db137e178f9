// A descriptor that any thread can make readable: an event loop that
// watches descriptors is woken through it without any data passing through
// the loop's own queues, so all that is handed over stays under locks of
// the caller's choosing.
#pragma once

namespace plat {

class Doorbell {
public:
    Doorbell();
    ~Doorbell();
    Doorbell(const Doorbell&) = delete;
    Doorbell& operator=(const Doorbell&) = delete;

    // -1 when none could be made.
    int fd() const { return fd_; }
    // Any thread; rings before an answer count once.
    void Ring();
    // Takes the rings off, so the descriptor reads as quiet again.
    void Answer();

private:
    int fd_;
};

}  // namespace plat
