// Is a host reachable? Up to three ICMP or ICMPv6 echo requests to a host
// given by address or by name (resolved by c-ares without blocking), then
// "OK", "timeout" or what went wrong as the status text.
#pragma once

#include <ares.h>
#include <string>
#include <sys/socket.h>

class Pinger {
public:
    enum { IDLE = 0, RESOLVING = 1, PINGING = 2 };
    // Requests go out at the first polls; a test without an answer ends
    // after this many polls.
    static constexpr int REQUESTS = 3;
    static constexpr int POLL_LIMIT = 50;
    static constexpr int REQUEST_SIZE = 64;

    Pinger();
    ~Pinger();
    Pinger(const Pinger&) = delete;
    Pinger& operator=(const Pinger&) = delete;

    // A new test; one still running is abandoned.
    void start(const std::string& host);
    // One step: resolver I/O, replies, the next request, the limit.
    void poll();
    // The c-ares host callback.
    void onResolved(int status, hostent* host);

    const std::string& statusText() const { return status_text; }
    int getState() const { return state; }
    int getSocket() const { return sock; }
    bool resolverReady() const { return resolver_ok; }

private:
    void openSocket(int family);
    bool takeReply();
    void sendRequest();
    void closeSocket();

    ares_channel resolver = nullptr;
    bool resolver_ok = false;
    int state = IDLE;
    int sock = -1;
    std::string status_text;
    int polls = 0;
    sockaddr_storage target{};
};

// The poller's one pinger. Any thread may start a test or read its result
// (the management link on the poller thread, the web API on its own
// threads); each call takes the pinger's lock.
void pinger_create();   // poller thread, at its start
void pinger_delete();   // poller thread, at its end
void pinger_poll();     // poller thread, every CAS scan
// False when there is no pinger to run the test.
bool pinger_start(const std::string& host);
// "" before the first test and while there is no pinger.
std::string pinger_status();
