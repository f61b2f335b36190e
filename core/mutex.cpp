#include "core/mutex.h"

Mutex::Mutex()
{
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        throw _attr_init_error();
    if (pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) != 0) {
        pthread_mutexattr_destroy(&attr);
        throw _attr_settype_error();
    }
    if (pthread_mutex_init(&m, &attr) != 0) {
        pthread_mutexattr_destroy(&attr);
        throw _mutex_init_error();
    }
    pthread_mutexattr_destroy(&attr);
}

Mutex::~Mutex() { pthread_mutex_destroy(&m); }
