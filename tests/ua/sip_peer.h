// A SIP peer on a loopback UDP port that sends hand-written messages to the
// user agent on 127.0.0.1:6060 and reads what comes back.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "sip/core/message.h"

class SipPeer {
public:
    explicit SipPeer(int port_ = 5070) : port(port_)
    {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~SipPeer() { close(fd); }

    // Replaces $port, $branch and $len (the body's length) in text.
    void send(std::string text)
    {
        static int branches = 0;
        replace(text, "$samebranch", last_branch);
        if (text.find("$branch") != std::string::npos) {
            last_branch = "z9hG4bK-peer" + std::to_string(++branches);
            replace(text, "$branch", last_branch);
        }
        replace(text, "$port", std::to_string(port));
        size_t body = text.find("\r\n\r\n");
        replace(text, "$len", std::to_string(body == std::string::npos ? 0 : text.size() - body - 4));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(6060);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    // The next message, or an invalid one after ms.
    sipcore::Message receive(int ms = 2000)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return {};
        char buf[8192];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n > 0 ? sipcore::Message::parse(buf, size_t(n)) : sipcore::Message{};
    }

    // The next message that is not a 100 Trying.
    sipcore::Message receiveFinal(int ms = 2000)
    {
        for (;;) {
            sipcore::Message m = receive(ms);
            if (!m || !m.isResponse() || m.statusCode() != 100)
                return m;
        }
    }

    static void replace(std::string& s, const std::string& what, const std::string& with)
    {
        for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + with.size()))
            s.replace(at, what.size(), with);
    }

    int port;
    int fd = -1;
    std::string last_branch;  // of the last message that took a new one ($samebranch)
};

// An INVITE to user at 127.0.0.1 with extra header lines (each ending CRLF)
// and an SDP offer of PCMA.
inline std::string invite_text(const std::string& ruri, const std::string& call_id, const std::string& extra = "",
                               int cseq = 1, const std::string& to_tag = "")
{
    std::string sdp = "v=0\r\no=peer 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                      "m=audio 4000 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n";
    return "INVITE " + ruri + " SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch;rport\r\n"
           "Max-Forwards: 70\r\n"
           "From: \"Alice\" <sip:alice@127.0.0.1:$port>;tag=peer-" + call_id + "\r\n"
           "To: <" + ruri + ">" + (to_tag.empty() ? "" : ";tag=" + to_tag) + "\r\n"
           "Call-ID: " + call_id + "\r\n"
           "CSeq: " + std::to_string(cseq) + " INVITE\r\n"
           "Contact: <sip:alice@127.0.0.1:$port>\r\n" + extra +
           "Content-Type: application/sdp\r\n"
           "Content-Length: $len\r\n\r\n" + sdp;
}

// A request inside the dialog the peer's INVITE call_id set up (to_tag is ours).
inline std::string in_dialog_text(const std::string& method, const std::string& call_id, const std::string& to_tag,
                                  int cseq, const std::string& extra = "", const std::string& body = "",
                                  const std::string& ruri = "sip:100@127.0.0.1:6060")
{
    return method + " " + ruri + " SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch;rport\r\n"
           "Max-Forwards: 70\r\n"
           "From: \"Alice\" <sip:alice@127.0.0.1:$port>;tag=peer-" + call_id + "\r\n"
           "To: <sip:100@127.0.0.1>;tag=" + to_tag + "\r\n"
           "Call-ID: " + call_id + "\r\n"
           "CSeq: " + std::to_string(cseq) + " " + method + "\r\n"
           "Contact: <sip:alice@127.0.0.1:$port>\r\n" + extra +
           "Content-Length: $len\r\n\r\n" + body;
}
