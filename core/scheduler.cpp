#include "core/scheduler.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"

sched_t* main_scheduler = nullptr;

namespace {

Mutex* api_mutex = nullptr;

int monotonic(struct timespec* ts) { return clock_gettime(CLOCK_MONOTONIC, ts); }

std::atomic<sched_clock_t> current_clock{&monotonic};

int now(struct timespec* ts) { return current_clock.load()(ts); }

void copy_name(char (&dst)[80], const char* src)
{
    strncpy(dst, src, sizeof dst - 1);
    dst[sizeof dst - 1] = '\0';
}

// Truncated towards zero, so a timer may fire just under 1 ms early.
int64_t remaining_ms(const sched_timer_t* t, const struct timespec& ts)
{
    return (int64_t(t->expiry_nsec) - ts.tv_nsec) / 1000000 + (int64_t(t->expiry_sec) - ts.tv_sec) * 1000;
}

void unlink(sched_t* s, sched_timer_t* t)
{
    if (t->prev)
        t->prev->next = t->next;
    else
        s->timers = t->next;
    if (t->next)
        t->next->prev = t->prev;
}

}  // namespace

void sched_set_clock(sched_clock_t clock) { current_clock.store(clock ? clock : &monotonic); }

int sched_init()
{
    LOG(LOGF_GENERAL, 7, "Initializing scheduling API");
    if (api_mutex)
        return 0;
    try {
        api_mutex = new Mutex();
    } catch (const std::exception& e) {
        LOG(LOGF_GENERAL, 7, "cannot create mutex: %s", e.what());
        return -1;
    }
    return 0;
}

int sched_create(sched_t** out, const char* name)
{
    if (!out) {
        LOG(LOGF_GENERAL, 2, "invalid pointer");
        return -1;
    }
    if (!name) {
        LOG(LOGF_GENERAL, 2, "invalid sched name");
        return -1;
    }
    *out = nullptr;
    auto* s = static_cast<sched_t*>(calloc(1, sizeof(sched_t)));
    if (!s) {
        LOG(LOGF_GENERAL, 2, "memory allocation error");
        return -1;
    }
    try {
        s->mutex = new Mutex();
    } catch (const std::exception& e) {
        LOG(LOGF_GENERAL, 2, "cannot create mutex: %s", e.what());
        free(s);
        return -1;
    }
    copy_name(s->name, name);
    s->next_id = 1;
    *out = s;
    LOG(LOGF_GENERAL, 7, "Created schedule %s", s->name);
    return 0;
}

int sched_destroy(sched_t** ps)
{
    if (!ps || !*ps) {
        LOG(LOGF_GENERAL, 2, "sched is null!");
        return -1;
    }
    if (api_mutex) {
        api_mutex->lock();
        api_mutex->unlock();
    }
    sched_t* s = *ps;
    s->mutex->lock();
    while (sched_timer_t* t = s->timers) {
        s->timers = t->next;
        delete t;
    }
    LOG(LOGF_GENERAL, 7, "Destroying schedule %s", s->name);
    s->mutex->unlock();
    delete s->mutex;
    free(s);
    *ps = nullptr;
    return 0;
}

int sched_add_timer(sched_t* s, const char* name, int ms, sched_callback_t callback, void* argument, uint64_t* id)
{
    if (!s) {
        LOG(LOGF_GENERAL, 2, "sched is null!");
        return -1;
    }
    if (!name) {
        LOG(LOGF_GENERAL, 2, "timer name is null!");
        return -1;
    }
    if (!callback) {
        LOG(LOGF_GENERAL, 2, "sched callback is null!");
        return -1;
    }
    if (ms <= 0) {
        LOG(LOGF_GENERAL, 2, "milliseconds must be bigger than 0!");
        return -1;
    }
    if (id)
        *id = 0;
    struct timespec ts;
    if (now(&ts) != 0) {
        LOG(LOGF_GENERAL, 3, "Failed to retrieve time of day: %s", strerror(errno));
        return -1;
    }
    MutexLock lock(*s->mutex);
    auto* t = new (std::nothrow) sched_timer_t{};
    if (!t)
        return -1;
    t->id = s->next_id++;
    if (s->next_id == 0) {
        LOG(LOGF_GENERAL, 5, "Timer id wrap around for sched %s", s->name);
        s->next_id++;
    }
    copy_name(t->name, name);
    t->expiry_sec = int(ts.tv_sec + ms / 1000);
    t->expiry_nsec = int(ts.tv_nsec + (ms % 1000) * 1000000L);
    if (t->expiry_nsec > 999999999) {
        t->expiry_sec++;
        t->expiry_nsec -= 1000000000;
    }
    t->argument = argument;
    t->callback = callback;
    t->next = s->timers;
    if (s->timers)
        s->timers->prev = t;
    s->timers = t;
    if (id)
        *id = t->id;
    return 0;
}

int sched_cancel_timer(sched_t* s, uint64_t id)
{
    if (!s) {
        LOG(LOGF_GENERAL, 2, "sched is null!");
        return -1;
    }
    if (id == 0)
        return 0;
    MutexLock lock(*s->mutex);
    for (sched_timer_t* t = s->timers; t; t = t->next) {
        if (t->id == id) {
            unlink(s, t);
            delete t;
            return 0;
        }
    }
    return -1;
}

int sched_run(sched_t* s)
{
    if (!s) {
        LOG(LOGF_GENERAL, 2, "sched is null!");
        return -1;
    }
    for (;;) {
        sched_callback_t callback;
        void* argument;
        {
            MutexLock lock(*s->mutex);
            struct timespec ts;
            if (now(&ts) != 0) {
                LOG(LOGF_GENERAL, 3, "Failed to retrieve time of day: %s", strerror(errno));
                return -1;
            }
            sched_timer_t* t = s->timers;
            while (t && remaining_ms(t, ts) > 0)
                t = t->next;
            if (!t)
                return 0;
            unlink(s, t);
            callback = t->callback;
            argument = t->argument;
            delete t;
        }
        // Without the lock: the callback may add or cancel timers of this schedule.
        callback(argument);
    }
}

int sched_get_time_to_next_timer(sched_t* s, uint32_t* out)
{
    if (!s || !out) {
        LOG(LOGF_GENERAL, 2, "sched is null!");
        return -1;
    }
    *out = 0xFFFFFFFFu;
    struct timespec ts;
    if (now(&ts) != 0) {
        LOG(LOGF_GENERAL, 3, "Failed to get next event time: %s", strerror(errno));
        return -1;
    }
    MutexLock lock(*s->mutex);
    const sched_timer_t* best = nullptr;
    for (const sched_timer_t* t = s->timers; t; t = t->next) {
        // Strictly earlier only: on equal expiry the newer timer (nearer the head) stays.
        if (!best || t->expiry_sec < best->expiry_sec ||
            (t->expiry_sec == best->expiry_sec && t->expiry_nsec < best->expiry_nsec))
            best = t;
    }
    if (best) {
        int64_t r = remaining_ms(best, ts);
        *out = r <= 0 ? 0 : uint32_t(r);
    }
    return 0;
}

uint32_t sched_get_time_ms()
{
    struct timespec ts;
    if (now(&ts) != 0) {
        LOG(LOGF_GENERAL, 3, "Failed to retrieve time: %s", strerror(errno));
        return 0;
    }
    return uint32_t(uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000);
}

time_t sched_get_time_sec()
{
    struct timespec ts;
    if (now(&ts) != 0)
        return 0;
    return ts.tv_sec;
}
