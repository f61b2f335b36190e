// Named one-shot timers. Any thread may add or cancel; callbacks run on the
// main thread from sched_run. Ids are never 0, so 0 means "not armed".
#pragma once

#include <cstdint>
#include <ctime>

#include "core/mutex.h"

typedef void (*sched_callback_t)(void* argument);

struct sched_timer_t {
    char name[80];
    uint64_t id;
    int expiry_sec;
    int expiry_nsec;
    void* argument;
    sched_callback_t callback;
    sched_timer_t* next;
    sched_timer_t* prev;
};

struct sched_t {
    char name[80];
    uint64_t next_id;
    Mutex* mutex;            // guards timers and next_id
    sched_timer_t* timers;   // newest first
};

// The daemon's schedule, "main scheduler", created by main.
extern sched_t* main_scheduler;

int sched_init();
int sched_create(sched_t** out, const char* name);
int sched_destroy(sched_t** sched);
int sched_add_timer(sched_t* sched, const char* name, int ms, sched_callback_t callback, void* argument,
                    uint64_t* id);
int sched_cancel_timer(sched_t* sched, uint64_t id);
int sched_run(sched_t* sched);
// *ms = remaining time of the earliest timer, 0xFFFFFFFF when none.
int sched_get_time_to_next_timer(sched_t* sched, uint32_t* ms);
// Monotonic milliseconds, wrapping at 32 bits: compare as unsigned differences.
uint32_t sched_get_time_ms();
time_t sched_get_time_sec();

// The monotonic clock everything above reads; tests install their own.
// Same contract as clock_gettime(CLOCK_MONOTONIC, ts). Null restores it.
typedef int (*sched_clock_t)(struct timespec* ts);
void sched_set_clock(sched_clock_t clock);
