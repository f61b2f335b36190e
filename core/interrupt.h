// Self-pipe that wakes a thread sleeping in poll(): the event queue signals it
// on every enqueue, and the media-processor layer waits on one per command.
#pragma once

class Interrupt {
public:
    // extra_fd: a further descriptor wait() also watches, -1 for none.
    explicit Interrupt(int extra_fd = -1);
    ~Interrupt();
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;

    // Writes one byte unless one is already pending; 0, or -1 when the write failed.
    int signal();
    // 0 signalled (pipe drained), 1 timeout, 2 extra fd readable, -1 poll error.
    int wait(int ms);
    void close();

    int readFd() const { return read_end; }
    int writeFd() const { return write_end; }

private:
    int extra_fd;
    int read_end = -1;
    int write_end = -1;
};
