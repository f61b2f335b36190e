// The bounded queue that carries channel events from any thread to the main
// thread. Every enqueue signals the queue's Interrupt, whose read end sits in
// the main loop's poll set.
#pragma once

#include "core/channel_event.h"
#include "core/interrupt.h"
#include "core/mutex.h"

struct std_queue_t {
    Mutex* mutex;            // guards every other field
    Interrupt* interrupt;    // signalled on every enqueue
    int capacity;
    int count;
    int rindex;              // slot of the oldest event
    int windex;              // slot the next event goes to (wraps lazily)
    channel_event_t** items;
};

// The daemon's queue (capacity 2048), created by main.
extern std_queue_t* event_queue;

int std_queue_create(std_queue_t** out, int capacity);
// 0, or -1 when the queue is full (the event is not taken: the caller owns it).
int std_queue_enqueue(std_queue_t* q, channel_event_t* event);
// Oldest event (the caller owns it), or null when empty; never blocks.
channel_event_t* std_queue_dequeue(std_queue_t* q);
int std_queue_count(std_queue_t* q);
int std_queue_get_interrupt(std_queue_t* q, Interrupt** out);
// Queued events are neither delivered nor deleted.
int std_queue_destroy(std_queue_t** q);
