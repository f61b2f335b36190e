#include "core/pid_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The locked PID file, open until the process ends; the kernel drops the lock then.
int held_fd = -1;

// 0 with the lock held, 1 when another process holds it, -1 on any other failure.
int open_locked(const std::string& file)
{
    if (held_fd >= 0)
        return 0;
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
        int err = errno;
        close(fd);
        errno = err;
        return err == EWOULDBLOCK ? 1 : -1;
    }
    held_fd = fd;
    return 0;
}

int pid_in_file(int fd)
{
    char text[32] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    int pid = 0;
    if (n <= 0 || sscanf(text, "%d", &pid) != 1)
        return 0;
    return pid;
}

bool names_linegw(int pid)
{
    if (pid <= 0 || pid == getpid())
        return false;
    // The kernel's own view of the process: never under the scratch root.
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/comm", pid);
    FILE* f = fopen(path, "r");
    if (!f)
        return false;
    char comm[9] = {};
    int n = fscanf(f, "%8s", comm);
    fclose(f);
    return n == 1 && strcmp(comm, "linegw") == 0;
}

void release()
{
    if (held_fd >= 0)
        close(held_fd);
    held_fd = -1;
}

}  // namespace

bool pid_file_names_running_instance(const std::string& file)
{
    int locked = open_locked(file);
    if (locked == 1)
        return true;
    if (locked < 0)
        return false;   // the write says why
    // An instance that took no lock (an older one) is still found by name.
    if (names_linegw(pid_in_file(held_fd))) {
        release();
        return true;
    }
    return false;
}

int pid_file_write(const std::string& file, int pid)
{
    int locked = open_locked(file);
    if (locked == 1) {
        fprintf(stderr, "linegw already running\n");
        return -1;
    }
    if (locked < 0) {
        perror(file.c_str());
        return -1;
    }
    struct stat st;
    if (fstat(held_fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(held_fd, 0) < 0) {
        perror(file.c_str());
        return -1;
    }
    // The stream writes through a copy of the descriptor: closing it checks
    // the last write and leaves the lock in place.
    int copy = dup(held_fd);
    FILE* f = copy < 0 ? nullptr : fdopen(copy, "w");
    if (!f) {
        perror(file.c_str());
        if (copy >= 0)
            close(copy);
        return -1;
    }
    bool written = lseek(copy, 0, SEEK_SET) == 0 && fprintf(f, "%d\n", pid) > 0 && fflush(f) == 0;
    int err = errno;
    if (fclose(f) != 0 && written) {
        written = false;
        err = errno;
    }
    if (!written) {
        fprintf(stderr, "%s: %s\n", file.c_str(), strerror(err));
        return -1;
    }
    return 0;
}
