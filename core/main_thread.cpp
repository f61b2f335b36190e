#include "core/main_thread.h"

#include <atomic>
#include <pthread.h>

int main_pid = 0;

namespace {
std::atomic<pthread_t> main_thread_id{};
std::atomic<bool> main_thread_known{false};
}  // namespace

void main_thread_set()
{
    main_thread_id.store(pthread_self());
    main_thread_known.store(true);
}

bool on_main_thread()
{
    return main_thread_known.load() && pthread_equal(main_thread_id.load(), pthread_self());
}
