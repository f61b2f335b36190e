// After a boot the flash file system scan keeps the CPU busy; the daemon
// waits (at most 60 s) for a calm CPU before it starts its work.
#pragma once

// Reads the idle ticks of the "cpu" line: 0 and *idle, -1 when the file does
// not open, -2 when the line does not scan.
typedef int (*boot_wait_reader_t)(long long* idle);

// Reads platform_path("/proc/stat").
int boot_wait_read_proc_stat(long long* idle);

// Ends when the idle ticks grew by more than 90 in one second, or after 60
// readings. reader and sleep_s default to /proc/stat and one second of sleep.
void boot_wait(boot_wait_reader_t reader = nullptr, void (*sleep_s)() = nullptr);
