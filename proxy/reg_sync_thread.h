// The registration-sync agent's thread: it owns the agent's database, runs
// the process's epoll loop (the agent's sockets and the media proxy), saves
// the database file on request and merges the controller's registrations.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <pthread.h>

#include "core/json_value.h"
#include "core/mutex.h"
#include "core/reg_sync.h"
#include "proxy/reg_info.h"

class RegSyncThread : public RegSyncTarget {
public:
    static constexpr int client_port = 9070;

    // Starts the agent thread; returns once the epoll instance exists, so
    // that others may register with the loop right away.
    void start(int port);
    void stop();
    // Any thread.
    void requestSave() override;
    // Any thread: the batch becomes pending; the caller gets the previous
    // pending value back, which it discards. Other threads reach the agent
    // through regsync_post_registrations, which knows when it is gone.
    void postRegistrations(JsonValue& batch) override;

    // Tests: where the sync client connects (9070 unless changed before start).
    int clientPort = client_port;

    pthread_t thread{};
    std::atomic<bool> running{false};
    std::atomic<bool> save{false};
    int port = 0;
    Mutex mutex;
    JsonValue pending;

private:
    static void* entry(void* self);
    void run();
    void merge(const JsonValue& batch);

    bool started = false;
    std::mutex ready_lock;
    std::condition_variable ready_cv;
    bool ready = false;
    class Server* server = nullptr;
};

// Owned by main, and used by the main thread only: null before start-up made
// it and after shutdown deleted it.
extern RegSyncThread* regSyncThread;

// Publishes every contact of a record as a contact variable.
void publish_reginfo(const RegInfo& record);
