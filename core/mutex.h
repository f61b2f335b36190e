// Recursive lock used by every subsystem; the main thread's dispatch relies on
// taking it again while it already holds it.
#pragma once

#include <exception>
#include <pthread.h>

class Mutex {
public:
    struct _attr_init_error : std::exception {
        const char* what() const noexcept override { return "Mutex::Mutex(): attr init error"; }
    };
    struct _attr_settype_error : std::exception {
        const char* what() const noexcept override { return "Mutex::Mutex(): attr settype error"; }
    };
    struct _mutex_init_error : std::exception {
        const char* what() const noexcept override { return "Mutex::Mutex(): mutex init error"; }
    };

    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() { pthread_mutex_lock(&m); }
    void unlock() { pthread_mutex_unlock(&m); }
    bool try_lock() { return pthread_mutex_trylock(&m) == 0; }

private:
    pthread_mutex_t m;
};

// Scope guard; std::lock_guard<Mutex> works too.
class MutexLock {
public:
    explicit MutexLock(Mutex& m) : mutex(m) { mutex.lock(); }
    ~MutexLock() { mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex;
};
