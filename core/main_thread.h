// Which thread is the main loop's. Compared by thread id: every thread of the
// process shares getpid(), so the pid cannot tell them apart.
#pragma once

void main_thread_set();   // called once by main() before any other thread starts
bool on_main_thread();

// getpid() of the daemon, for the PID file and as ICMP identifier; never
// used to tell threads apart.
extern int main_pid;
