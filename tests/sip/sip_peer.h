// Raw SIP peers for stack tests: a UDP socket and a TCP client/server on
// loopback, and a StackUser that records what the stack reports.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "sip/core/stack.h"
#include "sip/core/stream_framer.h"

namespace siptest {

using namespace sipcore;

class UdpPeer {
public:
    explicit UdpPeer(const char* ip = "127.0.0.1")
    {
        sock_addr_t a = make_addr(ip, 0);
        fd = socket(a.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bind(fd, a.sa(), a.len);
        addr.len = sizeof addr.ss;
        getsockname(fd, addr.sa(), &addr.len);
    }
    ~UdpPeer() { close(fd); }
    int port() const { return addr.port(); }
    void send(const std::string& text, const sock_addr_t& to) { sendto(fd, text.data(), text.size(), 0, to.sa(), to.len); }
    // "" on timeout.
    std::string recv(int timeout_ms = 2000)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return {};
        char buf[65536];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, n) : std::string();
    }
    sock_addr_t addr;
    int fd;
};

class TcpPeer {
public:
    // Connects to to.
    explicit TcpPeer(const sock_addr_t& to)
    {
        fd = socket(to.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
        ok = connect(fd, to.sa(), to.len) == 0;
    }
    explicit TcpPeer(int connected) : fd(connected), ok(true) {}
    ~TcpPeer() { close(fd); }
    void send(const std::string& text) { (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
    // The next framed message; "" on timeout or close.
    std::string recv(int timeout_ms = 2000)
    {
        for (;;) {
            std::string m;
            if (framer.next(&m) == StreamFramer::Result::Message)
                return m;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0)
                return {};
            char buf[16384];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return {};
            framer.feed(buf, n);
        }
    }
    // True when the stack closed the connection within the time.
    bool closedByPeer(int timeout_ms = 2000)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buf[256];
        return ::recv(fd, buf, sizeof buf, 0) <= 0;
    }
    int fd;
    bool ok;
    StreamFramer framer;
};

// One thing the stack reported.
struct report_t {
    std::string kind;  // request, response, ack, stray, timeout, error, terminated, ack-timeout
    int tid = 0;
    int code = 0;  // status, error, or the cancelled tid
    Message msg;
    peer_t from;
};

class Recorder : public StackUser {
public:
    using handler_t = std::function<void(Stack&, int, const Message&)>;
    // Called on the stack thread for each new request; may answer it.
    void answer(handler_t h)
    {
        std::lock_guard<std::mutex> l(m);
        handler = std::move(h);
    }
    Stack* stack = nullptr;

    void onRequest(int tid, Message request, const request_info_t& info) override
    {
        handler_t h;
        {
            std::lock_guard<std::mutex> l(m);
            h = handler;
        }
        if (h)
            h(*stack, tid, request);
        push({"request", tid, info.cancels, std::move(request), info.from});
    }
    void onResponse(int tid, Message r) override
    {
        int code = r.statusCode();
        push({"response", tid, code, std::move(r), {}});
    }
    void onAck(Message ack, const peer_t& from) override { push({"ack", 0, 0, std::move(ack), from}); }
    void onStrayResponse(Message r, const peer_t& from) override
    {
        int code = r.statusCode();
        push({"stray", 0, code, std::move(r), from});
    }
    void onTimeout(int tid) override { push({"timeout", tid, 0, {}, {}}); }
    void onTransportError(int tid, int e) override { push({"error", tid, e, {}, {}}); }
    void onTerminated(int tid) override { push({"terminated", tid, 0, {}, {}}); }
    void onAckTimeout(Message r) override { push({"ack-timeout", 0, r.statusCode(), std::move(r), {}}); }

    // The next report of that kind (others before it are kept); kind "" = any.
    bool next(const std::string& kind, report_t* out, int timeout_ms = 3000)
    {
        std::unique_lock<std::mutex> l(m);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            for (auto it = q.begin(); it != q.end(); ++it)
                if (kind.empty() || it->kind == kind) {
                    *out = std::move(*it);
                    q.erase(it);
                    return true;
                }
            if (cv.wait_until(l, deadline) == std::cv_status::timeout)
                return false;
        }
    }
    size_t count(const std::string& kind)
    {
        std::lock_guard<std::mutex> l(m);
        size_t n = 0;
        for (const auto& r : q)
            n += r.kind == kind;
        return n;
    }

private:
    void push(report_t r)
    {
        std::lock_guard<std::mutex> l(m);
        q.push_back(std::move(r));
        cv.notify_all();
    }
    std::mutex m;  // guards handler and q
    handler_t handler;
    std::condition_variable cv;
    std::deque<report_t> q;
};

inline std::string options_text(int port, const std::string& branch, const std::string& via_host = "127.0.0.1",
                                const char* proto = "UDP", const std::string& method = "OPTIONS")
{
    return method + " sip:stack@127.0.0.1 SIP/2.0\r\n"
           "Via: SIP/2.0/" + proto + " " + via_host + ":" + std::to_string(port) + ";branch=" + branch + ";rport\r\n"
           "Max-Forwards: 70\r\n"
           "From: <sip:peer@127.0.0.1>;tag=p1\r\n"
           "To: <sip:stack@127.0.0.1>\r\n"
           "Call-ID: " + branch + "@peer\r\n"
           "CSeq: 1 " + method + "\r\n"
           "Content-Length: 0\r\n\r\n";
}

inline int status_of(const std::string& text)
{
    Message m = Message::parse(text);
    return m ? m.statusCode() : -1;
}

}  // namespace siptest
