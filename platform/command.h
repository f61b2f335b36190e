// External commands. They run with an argv (no shell ever sees the text),
// their children get /dev/null for stdin/stdout/stderr, and the caller waits
// for its own child only.
#pragma once

#include <string>
#include <vector>

// Splits at every single blank (two blanks make an empty argument, "''" is an
// empty argument), runs the command and waits for it. Failures are logged.
void run_command(const std::string& command_line);

// The same for a ready argv. Returns the exit code, or -1 when the command
// could not be started or was ended by a signal.
int run_command_argv(const std::vector<std::string>& argv);

// Runs program with argv as given, argv[0] included, and waits for it; the
// same results.
int run_program(const std::string& program, const std::vector<std::string>& argv);

// Starts program with argv (argv[0] included) as a detached child: its own
// session, /dev/null on 0-2, nothing else open. Not waited for: the caller
// owns the pid and reaps it. The pid, or -1 with errno when it could not be
// started (ENOENT: the simulated board has no root).
int spawn_detached(const std::string& program, const std::vector<std::string>& argv);

// The argv run_command would use for a command line.
std::vector<std::string> command_split(const std::string& command_line);

// Where program runs from. On the board: an absolute path as it is, a bare
// name through PATH. On the simulated board (or with a root set) everything
// resolves under the root, never through PATH: "/sbin/reboot" to
// "<root>/sbin/reboot", a bare name to the first of <root>/sbin, /usr/sbin,
// /bin, /usr/bin that holds it ("<root>/sbin/<name>" when none does). "" when
// the simulated board has no root: the command must not run.
std::string command_path(const std::string& program);
