#include "platform/command.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/log_seam.h"
#include "platform/paths.h"
#include "platform/sim_board.h"

std::vector<std::string> command_split(const std::string& line)
{
    std::vector<std::string> argv;
    size_t start = 0;
    for (;;) {
        size_t end = line.find(' ', start);
        std::string arg = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
        argv.push_back(arg == "''" ? std::string() : arg);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return argv;
}

std::string command_path(const std::string& program)
{
    const std::string& root = platform_root();
    if (root.empty()) {
        if (sim_board_selected())
            return {};
        return program;
    }
    if (program[0] == '/')
        return root + program;
    if (program.find('/') != std::string::npos)
        return root + "/" + program;
    // The stand-ins take the place of the board's programs.
    for (const char* dir : {"/sbin/", "/usr/sbin/", "/bin/", "/usr/bin/"}) {
        std::string path = root + dir + program;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return root + "/sbin/" + program;
}

namespace {

// Ends the child: /dev/null on 0-2 so that a write to stdout cannot hit
// whatever descriptor the child would otherwise get next, nothing else open.
// Only async-signal-safe calls here: the parent may have other threads.
[[noreturn]] void exec_child(const char* program, char* const* args)
{
    setsid();
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
    }
    if (close_range(3, ~0U, 0) != 0)
        for (int fd = getdtablesize() - 1; fd > 2; fd--)
            close(fd);
    execvp(program, args);
    _exit(1);
}

// Returns the raw status, or -1 when the child could not be started.
int spawn_and_wait(const std::string& path, const std::vector<std::string>& argv, pid_t& pid)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::string program = command_path(path);
    if (program.empty()) {
        PLATFORM_LOG(LOGF_SYSTEM, 3, "%s not run: the simulated board has no root", path.c_str());
        return -1;
    }
    pid = fork();
    if (pid < 0) {
        PLATFORM_LOG(LOGF_GENERAL, 3, "fork() error: %s", strerror(errno));
        return -1;
    }
    if (pid == 0)
        exec_child(program.c_str(), args.data());
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            PLATFORM_LOG(LOGF_SYSTEM, 3, "waitpid(%d): %s", int(pid), strerror(errno));
            return -1;
        }
    }
    return status;
}

}  // namespace

int spawn_detached(const std::string& program, const std::vector<std::string>& argv)
{
    std::string path = command_path(program);
    if (path.empty() || argv.empty()) {
        errno = ENOENT;
        return -1;
    }
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        exec_child(path.c_str(), args.data());
    return pid;
}

void run_command(const std::string& line)
{
    std::vector<std::string> argv = command_split(line);
    pid_t pid;
    int status = spawn_and_wait(argv[0], argv, pid);
    if (status < 0)
        return;
    if (status & 0x7F)
        PLATFORM_LOG(LOGF_SYSTEM, 3, "%s returned unexpected status 0x%x", argv[0].c_str(), unsigned(status));
    else if (WEXITSTATUS(status))
        PLATFORM_LOG(LOGF_SYSTEM, 6, "command '%s' (pid %d) exited with return code %d", line.c_str(), int(pid),
            WEXITSTATUS(status));
}

int run_command_argv(const std::vector<std::string>& argv)
{
    if (argv.empty())
        return -1;
    return run_program(argv[0], argv);
}

int run_program(const std::string& program, const std::vector<std::string>& argv)
{
    if (program.empty() || argv.empty())
        return -1;
    pid_t pid;
    int status = spawn_and_wait(program, argv, pid);
    if (status < 0)
        return -1;
    if (status & 0x7F) {
        PLATFORM_LOG(LOGF_SYSTEM, 3, "%s returned unexpected status 0x%x", program.c_str(), unsigned(status));
        return -1;
    }
    return WEXITSTATUS(status);
}
