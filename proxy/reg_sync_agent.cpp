#include "proxy/reg_sync_agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>

#include "core/log.h"
#include "proxy/reg_info.h"
#include "proxy/reg_sync_thread.h"
#include "sip/proxy/xml_tree.h"

using sipproxy::SyncFramer;
using sipproxy::XmlElement;

namespace {

void set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        LOG(LOGF_WEB, 3, "cannot set NONBLOCK socket flag: %s", strerror(errno));
}

// False on a write error; what the socket did not take stays in out.
bool write_some(int fd, std::string& out)
{
    while (!out.empty()) {
        ssize_t n = send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0)
            return false;
        out.erase(0, static_cast<size_t>(n));
    }
    return true;
}

bool parse_message(const std::string& message, XmlElement* root)
{
    try {
        *root = sipproxy::xml_parse(message);
        return true;
    } catch (const sipproxy::XmlError& e) {
        LOG(LOGF_WEB, 4, "dropped a message that is not well-formed: %s", e.what());
        return false;
    }
}

}  // namespace

const char* const RegSyncAgent::initialSyncRequest =
    "<InitialSync>\r\n  <Request>\r\n    <Version>3</Version>\r\n  </Request>\r\n</InitialSync>\r\n";

void RegSyncAgent::handleRequest(ServerConnection& c, const std::string& tag, const std::string& message)
{
    XmlElement root;
    if (!parse_message(message, &root))
        return;
    if (!root.is("InitialSync")) {
        sendResponse(c, tag, message, 500, "Not implemented");
        return;
    }
    bool have = false;
    uint64_t version = 0;
    if (!root.children.empty() && root.children[0].is("request") && !root.children[0].children.empty()) {
        const XmlElement& v = root.children[0].children[0];
        if (v.is("version") && v.has_value) {
            have = true;
            for (char ch : v.value) {
                if (ch < '0' || ch > '9')
                    break;
                version = version * 10 + static_cast<uint64_t>(ch - '0');
            }
        }
    }
    if (have && version == 3) {
        std::ostringstream records;
        regDataBase.writeAll(records);
        c.send(records.str());
        sendResponse(c, tag, message, 200, "Initial Sync Completed.");
    } else {
        sendResponse(c, tag, message, 505, "Version not supported");
    }
}

void RegSyncAgent::sendResponse(ServerConnection& c, const std::string& tag, const std::string& message, int code,
                                const char* reason)
{
    std::string closing = "</" + tag + ">";
    size_t at = message.rfind(closing);
    if (at == std::string::npos) {
        LOG(LOGF_GENERAL, 3, "RegSyncAgent::sendResponse(): error: cannot locate closing tag");
        return;
    }
    c.send(message.substr(0, at) + "  <Response>\r\n    <Result Code=\"" + std::to_string(code) + "\">" + reason +
           "</Result>\r\n  </Response>\r\n" + message.substr(at));
}

ServerConnection::ServerConnection(int socket_fd, Server* s) : server(s) { setEvents(socket_fd, EPOLLIN); }

ServerConnection::~ServerConnection()
{
    int s = fd;
    setEvents(s, 0);
    close(s);
}

void ServerConnection::send(const std::string& text)
{
    output += text;
    setEvents(fd, EPOLLIN | EPOLLOUT);
}

void ServerConnection::onEvents(uint32_t ev)
{
    if (ev & (EPOLLERR | EPOLLHUP)) {
        server->removeConnection(this);
        return;
    }
    if (ev & EPOLLOUT) {
        if (!output.empty()) {
            if (!write_some(fd, output)) {
                LOG(LOGF_GENERAL, 3, "write error: %s", strerror(errno));
                server->removeConnection(this);
                return;
            }
        } else {
            setEvents(fd, EPOLLIN);
        }
    }
    if (ev & EPOLLIN) {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            server->removeConnection(this);
            return;
        }
        input.append(buf, static_cast<size_t>(n));
        processInput();
    }
}

void ServerConnection::processInput()
{
    std::string tag, message;
    for (;;) {
        SyncFramer::Result r = input.next(&tag, &message);
        if (r != SyncFramer::Result::Message)
            return;  // an overflow emptied the buffer; the connection stays
        RegSyncAgent::handleRequest(*this, tag, message);
    }
}

Server::Server(int listen_fd) { setEvents(listen_fd, EPOLLIN); }

Server::~Server()
{
    for (auto* c : connections)
        delete c;
    connections.clear();
    int s = fd;
    setEvents(s, 0);
    close(s);
}

void Server::onEvents(uint32_t)
{
    int s = accept(fd, nullptr, nullptr);
    if (s < 0) {
        LOG(LOGF_WEB, 3, "accept() error: %s", strerror(errno));
        return;
    }
    set_nonblocking(s);
    fcntl(s, F_SETFD, FD_CLOEXEC);
    connections.insert(new ServerConnection(s, this));
    if (connections.size() >= max_connections)
        setEvents(fd, 0);
}

void Server::broadcast(const std::string& text)
{
    for (auto* c : connections)
        c->send(text);
}

void Server::removeConnection(ServerConnection* c)
{
    if (connections.erase(c))
        delete c;
    if (connections.size() < max_connections)
        setEvents(fd, EPOLLIN);
}

Client::Client(int p) : port(p) {}

Client::~Client()
{
    if (st != IDLE) {
        int s = fd;
        setEvents(s, 0);
        close(s);
    }
}

void Client::drop()
{
    int s = fd;
    setEvents(s, 0);
    if (s >= 0)
        close(s);
    fd = -1;
    st = IDLE;
    count = reload;
}

void Client::becomeConnected()
{
    st = CONNECTED;
    LOG(LOGF_WEB, 6, "connected to repro");
}

void Client::checkConnect()
{
    if (st != IDLE || count <= 0)
        return;
    if (--count != 0)
        return;
    st = CONNECTING;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        LOG(LOGF_GENERAL, 3, "cannot create socket: %s", strerror(errno));
        st = IDLE;
        count = reload;
        return;
    }
    set_nonblocking(s);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        becomeConnected();
        setEvents(s, EPOLLIN | EPOLLOUT);
    } else if (errno == EINPROGRESS) {
        setEvents(s, EPOLLOUT);
    } else {
        LOG(LOGF_WEB, 3, "cannot connect to repro: %s", strerror(errno));
        close(s);
        st = IDLE;
        count = reload;
        return;
    }
    input.clear();
    output = RegSyncAgent::initialSyncRequest;
}

bool Client::pendingError(int* error)
{
    socklen_t len = sizeof *error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, error, &len) == 0;
}

void Client::onEvents(uint32_t ev)
{
    if (ev & EPOLLOUT) {
        if (st == CONNECTING) {
            int err = 0;
            if (!pendingError(&err)) {
                LOG(LOGF_WEB, 3, "getsockopt() error: %s", strerror(errno));
                drop();
                return;
            }
            if (err != 0) {
                LOG(LOGF_WEB, 3, "cannot connect to repro: %s", strerror(err));
                drop();
                return;
            }
            becomeConnected();
        }
        if (st == CONNECTED) {
            if (output.empty()) {
                setEvents(fd, EPOLLIN);
                return;
            }
            if (!write_some(fd, output)) {
                LOG(LOGF_GENERAL, 3, "write error: %s", strerror(errno));
                drop();
            }
            return;
        }
        setEvents(fd, events & ~uint32_t(EPOLLOUT));
    }
    if (ev & EPOLLIN) {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            drop();
            return;
        }
        input.append(buf, static_cast<size_t>(n));
        processInput();
        if (st == IDLE)
            return;
    }
    if (ev & (EPOLLERR | EPOLLHUP)) {
        LOG(LOGF_WEB, 3, "client socket error (events=0x%x)", ev);
        if (st == CONNECTING) {
            int err = 0;
            if (!pendingError(&err))
                LOG(LOGF_WEB, 3, "cannot connect to repro by reason unknown");
            else if (err != 0)
                LOG(LOGF_WEB, 3, "cannot connect to repro: %s", strerror(err));
        }
        drop();
    }
}

void Client::processInput()
{
    std::string tag, message;
    for (;;) {
        SyncFramer::Result r = input.next(&tag, &message);
        if (r == SyncFramer::Result::Overflow) {
            drop();
            return;
        }
        if (r != SyncFramer::Result::Message)
            return;
        processRegInfo(message);
    }
}

void Client::processRegInfo(const std::string& message)
{
    XmlElement root;
    if (!parse_message(message, &root) || !root.is("reginfo"))
        return;
    auto info = std::make_unique<RegInfo>();
    info->parse(root, 0);
    if (info->aor.empty() || info->contacts.empty())
        return;
    publish_reginfo(*info);
    regDataBase.addRegInfo(std::move(info));
}
