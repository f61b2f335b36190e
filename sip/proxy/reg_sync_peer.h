// Registration sync of the location database with a peer over TCP on the
// loopback interface, both roles on one thread of its own:
// - server (127.0.0.1 only): answers an initial-sync request (version 3)
//   with every registration, then sends every local change to every peer;
// - client: connects to the peer's server, asks for an initial sync, and
//   merges the records it receives (a contact replaces ours only when it was
//   updated more than a second later); it reconnects after a failure within retry_ms and sends
//   a keep-alive after keepalive_ms of silence.
// Changes that arrived through sync are never sent on, so two peers never
// echo a change back and forth.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sip/proxy/location_db.h"
#include "sip/proxy/sync_framer.h"
#include "sip/proxy/xml_tree.h"

namespace sipproxy {

struct reg_sync_options_t {
    int server_port = -1;  // -1: no server; 0: any free port
    int client_port = -1;  // -1: no client
    int retry_ms = 1000;
    int keepalive_ms = 30000;
};

// "<InitialSync>" request of the given version, lines ending in CR LF.
std::string reg_sync_initial_request(int version = 3);
// One "<reginfo>" record of aor with times relative to now.
std::string reg_sync_record(const std::string& aor, const std::vector<contact_record_t>& contacts, int64_t now);
// The contacts of a "<reginfo>" element with absolute times (base: the time
// it was written); contacts that were removed come with expiry 0. False
// without exactly one non-empty <aor>.
bool reg_sync_parse_record(const XmlElement& e, int64_t base, std::string* aor, std::vector<contact_record_t>* contacts);

class RegSyncPeer : private LocationHandler {
public:
    RegSyncPeer(LocationDb& db, const reg_sync_options_t& options);
    ~RegSyncPeer() override;
    RegSyncPeer(const RegSyncPeer&) = delete;
    RegSyncPeer& operator=(const RegSyncPeer&) = delete;

    // Binds the server and starts the thread; false (nothing started) when
    // the server cannot listen.
    bool start(std::string* error = nullptr);
    void stop();

    int serverPort() const { return bound_port; }
    bool clientConnected() const { return connected; }

private:
    struct conn_t {
        int fd = -1;
        SyncFramer in;
        std::string out;
    };

    void onContactChanged(const std::string& aor, const contact_record_t& contact, bool removed,
                          bool came_from_sync) override;
    void run();
    void wake();
    void acceptPeer();
    void handleRequest(conn_t& c, const std::string& message);
    void mergeRecord(const std::string& message);
    void sendChanges();
    void clientConnect(int64_t now_ms);
    void clientDrop(int64_t now_ms);
    static bool flush(conn_t& c);

    LocationDb& db;
    reg_sync_options_t opt;
    int listen_fd = -1;
    int bound_port = 0;
    int wake_pipe[2] = {-1, -1};
    std::vector<conn_t> peers;
    conn_t client;
    bool client_connecting = false;
    std::atomic<bool> connected{false};
    int64_t retry_at_ms = 0;
    int64_t last_sent_ms = 0;
    std::atomic<bool> running{false};
    std::thread thread;
    std::mutex changed_lock;  // guards changed
    std::set<std::string> changed;
};

}  // namespace sipproxy
