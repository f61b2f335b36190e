#include "core/event_queue.h"

#include <cstdlib>
#include <new>

#include "core/log.h"

std_queue_t* event_queue = nullptr;

int std_queue_create(std_queue_t** out, int capacity)
{
    if (!out) {
        LOG(LOGF_GENERAL, 2, "Queue double pointer is null\n");
        return -1;
    }
    if (capacity <= 0) {
        LOG(LOGF_GENERAL, 2, "Queue capacity is not bigger than 0\n");
        return -1;
    }
    *out = nullptr;
    auto* q = static_cast<std_queue_t*>(calloc(1, sizeof(std_queue_t)));
    if (!q) {
        LOG(LOGF_GENERAL, 2, "Cannot allocate memory\n");
        return -1;
    }
    q->items = static_cast<channel_event_t**>(calloc(capacity, sizeof(channel_event_t*)));
    if (!q->items) {
        free(q);
        return -1;
    }
    try {
        q->mutex = new Mutex();
    } catch (const std::exception& e) {
        LOG(LOGF_GENERAL, 2, "%s", e.what());
        free(q->items);
        free(q);
        return -1;
    }
    q->interrupt = new Interrupt(-1);
    q->capacity = capacity;
    *out = q;
    return 0;
}

int std_queue_enqueue(std_queue_t* q, channel_event_t* event)
{
    if (!q) {
        LOG(LOGF_GENERAL, 2, "Queue is null!");
        return -1;
    }
    MutexLock lock(*q->mutex);
    if (q->windex == q->capacity)
        q->windex = 0;
    if (q->count != 0 && q->rindex == q->windex) {
        LOG(LOGF_GENERAL, 3, "Failed to enqueue obj %p in queue %p, no more room! windex == rindex == %d!\n",
            static_cast<void*>(event), static_cast<void*>(q), q->windex);
        return -1;
    }
    q->items[q->windex++] = event;
    q->count++;
    q->interrupt->signal();
    return 0;
}

channel_event_t* std_queue_dequeue(std_queue_t* q)
{
    if (!q) {
        LOG(LOGF_GENERAL, 2, "Queue is null!");
        return nullptr;
    }
    MutexLock lock(*q->mutex);
    if (q->count == 0)
        return nullptr;
    channel_event_t* event = q->items[q->rindex];
    q->items[q->rindex] = nullptr;
    if (++q->rindex == q->capacity)
        q->rindex = 0;
    q->count--;
    return event;
}

int std_queue_count(std_queue_t* q)
{
    if (!q) {
        LOG(LOGF_GENERAL, 2, "Queue is null!\n");
        return -1;
    }
    MutexLock lock(*q->mutex);
    return q->count;
}

int std_queue_get_interrupt(std_queue_t* q, Interrupt** out)
{
    if (!q) {
        LOG(LOGF_GENERAL, 2, "Queue is null!\n");
        return -1;
    }
    if (!out) {
        LOG(LOGF_GENERAL, 2, "interrupt pointer is null!\n");
        return -1;
    }
    *out = q->interrupt;
    return 0;
}

int std_queue_destroy(std_queue_t** pq)
{
    if (!pq || !*pq) {
        LOG(LOGF_GENERAL, 2, "Queue is null!\n");
        return -1;
    }
    std_queue_t* q = *pq;
    q->interrupt->close();
    delete q->interrupt;
    delete q->mutex;
    free(q->items);
    free(q);
    *pq = nullptr;
    return 0;
}
