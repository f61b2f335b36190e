// The registration-sync agent's two roles towards the proxy library, on the
// loopback interface and the process's epoll loop: a server (port 9071) that
// answers the library client's initial sync with the stored records and
// pushes the controller's registrations to it, and a client (towards 9070)
// that takes every registration change of the proxy, publishes and stores it.
#pragma once

#include <set>
#include <string>

#include "core/epoller.h"
#include "sip/proxy/sync_framer.h"

class Server;

class ServerConnection : private EPoller {
public:
    ServerConnection(int fd, Server* server);
    ~ServerConnection() override;
    void onEvents(uint32_t events) override;

    // Appends text and asks to be told when the socket takes it.
    void send(const std::string& text);
    void processInput();

private:
    friend class Server;
    Server* server;
    sipproxy::SyncFramer input;
    std::string output;
};

class Server : public EPoller {
public:
    static constexpr size_t max_connections = 10;

    explicit Server(int listen_fd);
    ~Server() override;
    void onEvents(uint32_t events) override;

    void broadcast(const std::string& text);
    void removeConnection(ServerConnection* connection);
    size_t connectionCount() const { return connections.size(); }

private:
    std::set<ServerConnection*> connections;
};

class Client : public EPoller {
public:
    static constexpr int reload = 20;  // agent-loop passes between attempts
    enum State { IDLE = 0, CONNECTING = 1, CONNECTED = 2 };

    explicit Client(int port);
    ~Client() override;
    void checkConnect();
    void onEvents(uint32_t events) override;
    void processInput();
    void processRegInfo(const std::string& message);

    int state() const { return st; }
    int countdown() const { return count; }

private:
    void drop();
    void becomeConnected();
    bool pendingError(int* error);

    int port;
    int st = IDLE;
    int count = reload;
    sipproxy::SyncFramer input;
    std::string output;
};

namespace RegSyncAgent {
// "<InitialSync>" ... version 3, 84 bytes.
extern const char* const initialSyncRequest;
void handleRequest(ServerConnection& connection, const std::string& tag, const std::string& message);
void sendResponse(ServerConnection& connection, const std::string& tag, const std::string& message, int code,
                  const char* reason);
}  // namespace RegSyncAgent
