#include "sip/proxy/reg_sync_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/log.h"

namespace sipproxy {

namespace {

int64_t mono_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint64_t digits(const std::string& text)
{
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v;
}

// Inserts the response element before the request's last closing tag.
std::string answer(const std::string& tag, const std::string& request, int code, const char* reason)
{
    std::string closing = "</" + tag + ">";
    size_t at = request.rfind(closing);
    if (at == std::string::npos)
        return {};
    return request.substr(0, at) + "  <Response>\r\n    <Result Code=\"" + std::to_string(code) + "\">" + reason +
           "</Result>\r\n  </Response>\r\n" + request.substr(at);
}

// Reads what the peer sent and hands each whole message to handle; false
// when the peer closed or the connection failed, or, with overflow_ends, when
// the peer sent more than a message may hold (the framer dropped it).
template <typename Handle>
bool read_messages(int fd, SyncFramer& in, bool overflow_ends, Handle handle)
{
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n <= 0)
        return false;
    in.append(buf, static_cast<size_t>(n));
    std::string tag, message;
    for (;;) {
        SyncFramer::Result r = in.next(&tag, &message);
        if (r == SyncFramer::Result::Overflow)
            return !overflow_ends;
        if (r != SyncFramer::Result::Message)
            return true;
        handle(message);
    }
}

}  // namespace

std::string reg_sync_initial_request(int version)
{
    return "<InitialSync>\r\n  <Request>\r\n    <Version>" + std::to_string(version) +
           "</Version>\r\n  </Request>\r\n</InitialSync>\r\n";
}

std::string reg_sync_record(const std::string& aor, const std::vector<contact_record_t>& contacts, int64_t now)
{
    std::string out = "<reginfo>\r\n  <aor>" + xml_char_data_encode(aor) + "</aor>\r\n";
    for (const auto& c : contacts) {
        int64_t left = c.reg_expires > now ? c.reg_expires - now : 0;
        int64_t since = now > c.last_updated ? now - c.last_updated : 0;
        out += "  <contactinfo>\r\n    <contacturi>" + xml_char_data_encode(c.contact.toString()) + "</contacturi>\r\n";
        out += "    <expires>" + std::to_string(left) + "</expires>\r\n";
        out += "    <lastupdate>" + std::to_string(since) + "</lastupdate>\r\n";
        if (!c.received_from.empty())
            out += "    <receivedfrom>" + xml_char_data_encode(c.received_from) + "</receivedfrom>\r\n";
        if (!c.public_address.empty())
            out += "    <publicaddress>" + xml_char_data_encode(c.public_address) + "</publicaddress>\r\n";
        for (const auto& p : c.sip_path)
            if (!p.empty())
                out += "    <sippath>" + xml_char_data_encode(p) + "</sippath>\r\n";
        if (!c.instance.empty())
            out += "    <instance>" + xml_char_data_encode(c.instance) + "</instance>\r\n";
        if (c.reg_id)
            out += "    <regid>" + std::to_string(c.reg_id) + "</regid>\r\n";
        out += "  </contactinfo>\r\n";
    }
    return out + "</reginfo>\r\n";
}

bool reg_sync_parse_record(const XmlElement& e, int64_t base, std::string* aor, std::vector<contact_record_t>* contacts)
{
    aor->clear();
    int aors = 0;
    for (const auto& c : e.children)
        if (c.is("aor")) {
            ++aors;
            *aor = c.value;
        }
    if (aors != 1 || aor->empty())
        return false;
    for (const auto& ci : e.children) {
        if (!ci.is("contactinfo"))
            continue;
        contact_record_t r;
        uint64_t left = 0, since = 0;
        for (const auto& f : ci.children) {
            if (!f.has_value)
                continue;
            if (f.is("contacturi"))
                r.contact = sipcore::NameAddr::parse(f.value);
            else if (f.is("expires"))
                left = digits(f.value);
            else if (f.is("lastupdate"))
                since = digits(f.value);
            else if (f.is("receivedfrom"))
                r.received_from = f.value;
            else if (f.is("publicaddress"))
                r.public_address = f.value;
            else if (f.is("sippath"))
                r.sip_path.push_back(f.value);
            else if (f.is("instance"))
                r.instance = f.value;
            else if (f.is("regid"))
                r.reg_id = static_cast<uint32_t>(digits(f.value));
        }
        if (!r.contact || !r.contact.uri())
            continue;
        // Ten years bound both so that no sum below can overflow.
        constexpr uint64_t bound = 10ull * 366 * 86400;
        r.reg_expires = left ? base + static_cast<int64_t>(std::min(left, bound)) : 0;
        r.last_updated = base - static_cast<int64_t>(std::min(since, bound));
        r.sync_contact = true;
        contacts->push_back(std::move(r));
    }
    return true;
}

RegSyncPeer::RegSyncPeer(LocationDb& d, const reg_sync_options_t& o) : db(d), opt(o) {}

RegSyncPeer::~RegSyncPeer() { stop(); }

bool RegSyncPeer::start(std::string* error)
{
    stop();
    if (opt.server_port >= 0) {
        listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int one = 1;
        sockaddr_in a = loopback(opt.server_port);
        socklen_t len = sizeof a;
        if (listen_fd < 0 || setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            bind(listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_fd, 5) != 0 ||
            getsockname(listen_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            std::string why = "registration sync cannot listen on 127.0.0.1:" + std::to_string(opt.server_port) + ": " +
                              strerror(errno);
            LOG(LOGF_GENERAL, LOG_ERR, "%s", why.c_str());
            if (error)
                *error = why;
            if (listen_fd >= 0)
                close(listen_fd);
            listen_fd = -1;
            return false;
        }
        bound_port = ntohs(a.sin_port);
    }
    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (error)
            *error = std::string("registration sync: pipe: ") + strerror(errno);
        if (listen_fd >= 0)
            close(listen_fd);
        listen_fd = -1;
        return false;
    }
    retry_at_ms = 0;  // the first attempt at once
    running = true;
    db.addHandler(this);
    thread = std::thread([this] { run(); });
    return true;
}

void RegSyncPeer::stop()
{
    if (!thread.joinable())
        return;
    db.removeHandler(this);
    running = false;
    wake();
    thread.join();
    for (auto& p : peers)
        close(p.fd);
    peers.clear();
    if (client.fd >= 0)
        close(client.fd);
    client = conn_t();
    connected = false;
    client_connecting = false;
    if (listen_fd >= 0)
        close(listen_fd);
    listen_fd = -1;
    close(wake_pipe[0]);
    close(wake_pipe[1]);
    wake_pipe[0] = wake_pipe[1] = -1;
}

void RegSyncPeer::wake()
{
    char b = 1;
    ssize_t n = write(wake_pipe[1], &b, 1);
    (void)n;  // a full pipe already wakes the thread
}

void RegSyncPeer::onContactChanged(const std::string& aor, const contact_record_t&, bool, bool came_from_sync)
{
    if (came_from_sync)
        return;
    {
        std::lock_guard<std::mutex> g(changed_lock);
        changed.insert(aor);
    }
    wake();
}

bool RegSyncPeer::flush(conn_t& c)
{
    while (!c.out.empty()) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0)
            return false;
        c.out.erase(0, static_cast<size_t>(n));
    }
    return true;
}

void RegSyncPeer::run()
{
    while (running) {
        int64_t now = mono_ms();
        if (opt.client_port >= 0 && client.fd < 0 && now >= retry_at_ms)
            clientConnect(now);
        if (connected && client.out.empty() && now - last_sent_ms >= opt.keepalive_ms)
            client.out = "\r\n\r\n";

        std::vector<pollfd> fds;
        fds.push_back({wake_pipe[0], POLLIN, 0});
        if (listen_fd >= 0)
            fds.push_back({listen_fd, POLLIN, 0});
        size_t first_peer = fds.size();
        for (auto& p : peers)
            fds.push_back({p.fd, static_cast<short>(POLLIN | (p.out.empty() ? 0 : POLLOUT)), 0});
        size_t client_at = fds.size();
        if (client.fd >= 0)
            fds.push_back({client.fd,
                           static_cast<short>(client_connecting ? POLLOUT : POLLIN | (client.out.empty() ? 0 : POLLOUT)),
                           0});
        int timeout = 1000;
        if (opt.client_port >= 0 && client.fd < 0)
            timeout = static_cast<int>(std::clamp<int64_t>(retry_at_ms - now, 0, 1000));
        else if (connected)
            timeout = static_cast<int>(std::clamp<int64_t>(last_sent_ms + opt.keepalive_ms - now, 0, 1000));
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            LOG(LOGF_GENERAL, LOG_ERR, "registration sync: poll: %s", strerror(errno));
            usleep(10000);
            continue;
        }
        if (fds[0].revents) {
            char buf[64];
            while (read(wake_pipe[0], buf, sizeof buf) > 0) {
            }
        }
        if (!running)
            break;
        now = mono_ms();

        if (client.fd >= 0 && fds.size() > client_at && fds[client_at].fd == client.fd && fds[client_at].revents) {
            short ev = fds[client_at].revents;
            bool ok = true;
            if (client_connecting) {
                int err = 0;
                socklen_t len = sizeof err;
                if (getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
                    ok = false;
                } else {
                    client_connecting = false;
                    connected = true;
                    last_sent_ms = now;
                    LOG(LOGF_GENERAL, LOG_INFO, "registration sync: connected to 127.0.0.1:%d", opt.client_port);
                }
            } else {
                if (ok && (ev & POLLIN))
                    ok = read_messages(client.fd, client.in, true,
                                       [this](const std::string& m) { mergeRecord(m); });
                if (ok && (ev & (POLLERR | POLLHUP)) && !(ev & POLLIN))
                    ok = false;
            }
            if (ok && connected && !client.out.empty()) {
                ok = flush(client);
                last_sent_ms = now;
            }
            if (!ok)
                clientDrop(now);
        }

        for (size_t i = 0; i < peers.size() && first_peer + i < client_at; ++i) {
            short ev = fds[first_peer + i].revents;
            conn_t& p = peers[i];
            bool ok = true;
            if (ev & POLLIN)
                ok = read_messages(p.fd, p.in, false, [&](const std::string& m) { handleRequest(p, m); });
            else if (ev & (POLLERR | POLLHUP))
                ok = false;
            if (ok && !p.out.empty())
                ok = flush(p);
            if (!ok) {
                close(p.fd);
                p.fd = -1;
            }
        }
        std::erase_if(peers, [](const conn_t& p) { return p.fd < 0; });

        if (listen_fd >= 0 && (fds[1].revents & POLLIN))
            acceptPeer();
        sendChanges();
    }
}

void RegSyncPeer::acceptPeer()
{
    for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (peers.size() >= 10) {  // a peer or two is all this ever serves
            close(fd);
            continue;
        }
        conn_t c;
        c.fd = fd;
        peers.push_back(std::move(c));
    }
}

void RegSyncPeer::handleRequest(conn_t& c, const std::string& message)
{
    XmlElement root;
    try {
        root = xml_parse(message);
    } catch (const XmlError& e) {
        LOG(LOGF_GENERAL, LOG_WARNING, "registration sync: dropped a malformed message: %s", e.what());
        return;
    }
    if (!root.is("InitialSync")) {
        c.out += answer(root.tag, message, 400, "Unknown method");
        return;
    }
    uint64_t version = 0;
    bool have = false;
    if (!root.children.empty() && root.children[0].is("Request") && !root.children[0].children.empty()) {
        const XmlElement& v = root.children[0].children[0];
        if (v.is("Version") && v.has_value) {
            version = digits(v.value);
            have = true;
        }
    }
    if (!have || version != 3) {
        c.out += answer(root.tag, message, 505, "Version not supported");
        return;
    }
    int64_t now = db.now();
    for (const auto& aor : db.getAors()) {
        std::vector<contact_record_t> contacts = db.getAllContacts(aor);
        if (!contacts.empty())
            c.out += reg_sync_record(aor, contacts, now);
    }
    c.out += answer(root.tag, message, 200, "Initial Sync Completed.");
}

void RegSyncPeer::sendChanges()
{
    std::set<std::string> aors;
    {
        std::lock_guard<std::mutex> g(changed_lock);
        aors.swap(changed);
    }
    if (aors.empty())
        return;
    int64_t now = db.now();
    std::string text;
    for (const auto& aor : aors) {
        std::vector<contact_record_t> contacts = db.getAllContacts(aor);
        if (!contacts.empty())
            text += reg_sync_record(aor, contacts, now);
    }
    if (text.empty())
        return;
    for (auto& p : peers) {
        p.out += text;
        if (!flush(p)) {
            close(p.fd);
            p.fd = -1;
        }
    }
    std::erase_if(peers, [](const conn_t& p) { return p.fd < 0; });
}

void RegSyncPeer::clientConnect(int64_t now)
{
    client = conn_t();
    client.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (client.fd < 0) {
        clientDrop(now);
        return;
    }
    sockaddr_in a = loopback(opt.client_port);
    if (connect(client.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        client_connecting = false;
        connected = true;
        last_sent_ms = now;
    } else if (errno == EINPROGRESS) {
        client_connecting = true;
    } else {
        clientDrop(now);
        return;
    }
    client.out = reg_sync_initial_request(3);
}

void RegSyncPeer::clientDrop(int64_t now)
{
    if (client.fd >= 0)
        close(client.fd);
    if (connected)
        LOG(LOGF_GENERAL, LOG_INFO, "registration sync: lost 127.0.0.1:%d, reconnecting", opt.client_port);
    client = conn_t();
    client_connecting = false;
    connected = false;
    retry_at_ms = now + opt.retry_ms;
}

void RegSyncPeer::mergeRecord(const std::string& message)
{
    XmlElement root;
    try {
        root = xml_parse(message);
    } catch (const XmlError& e) {
        LOG(LOGF_GENERAL, LOG_WARNING, "registration sync: dropped a malformed message: %s", e.what());
        return;
    }
    if (!root.is("reginfo"))
        return;  // the answer to our initial-sync request
    std::string aor;
    std::vector<contact_record_t> incoming;
    int64_t now = db.now();
    if (!reg_sync_parse_record(root, now, &aor, &incoming))
        return;
    RecordLock hold(db, aor);
    std::vector<contact_record_t> ours = db.getAllContacts(aor);
    for (const auto& in : incoming) {
        auto it = std::find_if(ours.begin(), ours.end(),
                               [&](const contact_record_t& c) { return LocationDb::sameContact(c, in); });
        // Times travel in whole seconds relative to the moment of sending, so
        // one copy read back may come out a second later than the original.
        if (it != ours.end() && in.last_updated <= it->last_updated + 1)
            continue;  // ours is as new or newer
        if (in.reg_expires > now)
            db.updateContact(aor, in);
        else if (it != ours.end())
            db.removeContact(aor, in);
    }
}

}  // namespace sipproxy
