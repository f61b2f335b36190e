#include "sip/core/tcp_transport.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "core/log.h"

namespace sipcore {

namespace {

std::atomic<int> next_connection{0};
const size_t max_connections = 1024;
const size_t max_output = 4 * 1024 * 1024;

std::string ssl_error()
{
    char buf[256] = "";
    unsigned long e = ERR_get_error();
    if (e)
        ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return buf[0] ? buf : "unknown TLS error";
}

// Optional client certificates: the handshake goes on whatever the result,
// and the result is read afterwards.
int accept_any(int, X509_STORE_CTX*) { return 1; }

}  // namespace

struct TcpTransport::conn_t {
    int id = 0;
    int fd = -1;
    sock_addr_t remote;
    SSL* ssl = nullptr;
    bool outgoing = false;
    bool connecting = false;
    bool ready = false;  // connected, and TLS handshake done
    bool want_write = false;
    std::string out;
    StreamFramer framer;
    int64_t last = 0;
    bool verified = false;
    std::string subject;
};

std::unique_ptr<TcpTransport> TcpTransport::open(TransportHost* host, TransportType type, const std::string& ip,
                                                 int port, const tls_options_t* tls, int* error, int64_t idle_ms)
{
    const char* name = transport_name(type);
    sock_addr_t a = make_addr(ip, port);
    if (!a.valid() || type == TransportType::UDP) {
        LOG(LOGF_GENERAL, LOG_ERR, "%s transport: \"%s\" is not a numeric address", name, ip.c_str());
        *error = -EINVAL;
        return nullptr;
    }
    SSL_CTX* ctx = nullptr;
    if (type == TransportType::TLS) {
        if (!tls) {
            LOG(LOGF_GENERAL, LOG_ERR, "TLS transport: no certificate given");
            *error = -EINVAL;
            return nullptr;
        }
        ctx = SSL_CTX_new(TLS_method());
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        bool ok = ctx != nullptr;
        if (ok && !tls->cert_file.empty() && SSL_CTX_use_certificate_chain_file(ctx, tls->cert_file.c_str()) != 1) {
            LOG(LOGF_GENERAL, LOG_ERR, "TLS transport: certificate %s: %s", tls->cert_file.c_str(), ssl_error().c_str());
            ok = false;
        }
        if (ok && !tls->key_file.empty() &&
            (SSL_CTX_use_PrivateKey_file(ctx, tls->key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
             SSL_CTX_check_private_key(ctx) != 1)) {
            LOG(LOGF_GENERAL, LOG_ERR, "TLS transport: key %s: %s", tls->key_file.c_str(), ssl_error().c_str());
            ok = false;
        }
        if (ok && !tls->ca_file.empty() && SSL_CTX_load_verify_locations(ctx, tls->ca_file.c_str(), nullptr) != 1) {
            LOG(LOGF_GENERAL, LOG_ERR, "TLS transport: CA file %s: %s", tls->ca_file.c_str(), ssl_error().c_str());
            ok = false;
        }
        if (!ok) {
            SSL_CTX_free(ctx);
            *error = -EINVAL;
            return nullptr;
        }
        int mode = SSL_VERIFY_NONE;
        if (tls->client_verify == tls_options_t::Verify::Optional)
            mode = SSL_VERIFY_PEER;
        else if (tls->client_verify == tls_options_t::Verify::Mandatory)
            mode = SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
        SSL_CTX_set_verify(ctx, mode, tls->client_verify == tls_options_t::Verify::Optional ? accept_any : nullptr);
        // Remembered for outgoing connections.
        SSL_CTX_set_ex_data(ctx, 0, reinterpret_cast<void*>(static_cast<intptr_t>(tls->verify_server)));
    }
    int fd = socket(a.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = -errno;
        SSL_CTX_free(ctx);
        return nullptr;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (a.family() == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(fd, a.sa(), a.len) != 0 || listen(fd, 128) != 0) {
        *error = -errno;
        LOG(LOGF_GENERAL, LOG_ERR, "%s transport: listen on %s failed: %s", name, a.key().c_str(), strerror(errno));
        close(fd);
        SSL_CTX_free(ctx);
        return nullptr;
    }
    std::unique_ptr<TcpTransport> t(new TcpTransport(host, fd, ctx, idle_ms));
    t->local_addr.len = sizeof t->local_addr.ss;
    getsockname(fd, t->local_addr.sa(), &t->local_addr.len);
    TcpTransport* self = t.get();
    host->watch(fd, POLLIN, [self](short) { self->accept_ready(); });
    *error = 0;
    return t;
}

TcpTransport::TcpTransport(TransportHost* h, int fd, SSL_CTX* ctx, int64_t idle)
    : host(h), listener(fd), tls_ctx(ctx), idle_ms(idle)
{
}

TcpTransport::~TcpTransport()
{
    while (!conns.empty())
        close_conn(conns.begin()->first, 0);
    host->unwatch(listener);
    close(listener);
    SSL_CTX_free(tls_ctx);
}

TcpTransport::conn_t* TcpTransport::add_conn(int fd, const sock_addr_t& remote, bool outgoing)
{
    auto c = std::make_unique<conn_t>();
    c->id = ++next_connection;
    c->fd = fd;
    c->remote = remote;
    c->outgoing = outgoing;
    c->last = host->nowMs();
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (tls_ctx) {
        c->ssl = SSL_new(tls_ctx);
        SSL_set_fd(c->ssl, fd);
        if (outgoing) {
            SSL_set_connect_state(c->ssl);
            bool verify = SSL_CTX_get_ex_data(tls_ctx, 0) != nullptr;
            SSL_set_verify(c->ssl, verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
        } else {
            SSL_set_accept_state(c->ssl);
        }
    }
    conn_t* raw = c.get();
    by_addr[remote.key()] = c->id;
    conns[c->id] = std::move(c);
    return raw;
}

void TcpTransport::accept_ready()
{
    for (int i = 0; i < 16; ++i) {
        sock_addr_t remote;
        remote.len = sizeof remote.ss;
        int fd = accept4(listener, remote.sa(), &remote.len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (conns.size() >= max_connections) {
            LOG(LOGF_GENERAL, LOG_WARNING, "%s transport: refused %s, too many connections",
                transport_name(type()), remote.key().c_str());
            close(fd);
            continue;
        }
        conn_t* c = add_conn(fd, remote, false);
        c->ready = !c->ssl;
        rewatch(*c);
        if (c->ssl)
            handshake(*c);
    }
}

void TcpTransport::rewatch(conn_t& c)
{
    short ev = POLLIN;
    if (c.connecting || c.want_write || (!c.ssl && !c.out.empty()) || (c.ssl && c.ready && !c.out.empty()))
        ev |= POLLOUT;
    int id = c.id;
    host->watch(c.fd, ev, [this, id](short revents) { event(id, revents); });
}

void TcpTransport::event(int id, short revents)
{
    auto it = conns.find(id);
    if (it == conns.end())
        return;
    conn_t& c = *it->second;
    c.last = host->nowMs();
    if (c.connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err || (revents & (POLLERR | POLLHUP))) {
            LOG(LOGF_GENERAL, LOG_WARNING, "%s transport: connect to %s failed: %s", transport_name(type()),
                c.remote.key().c_str(), strerror(err ? err : ECONNREFUSED));
            close_conn(id, -(err ? err : ECONNREFUSED));
            return;
        }
        if (!(revents & POLLOUT))
            return;
        c.connecting = false;
        c.ready = !c.ssl;
    }
    if (c.ssl && !c.ready) {
        handshake(c);
        return;
    }
    if (revents & (POLLIN | POLLERR | POLLHUP)) {
        read_ready(c);
        if (conns.find(id) == conns.end())
            return;
    }
    if (revents & POLLOUT)
        flush(c);
}

void TcpTransport::handshake(conn_t& c)
{
    int id = c.id;
    ERR_clear_error();
    int rc = SSL_do_handshake(c.ssl);
    if (rc == 1) {
        c.ready = true;
        c.want_write = false;
        X509* cert = SSL_get1_peer_certificate(c.ssl);
        if (cert) {
            c.verified = SSL_get_verify_result(c.ssl) == X509_V_OK;
            char buf[512];
            X509_NAME_oneline(X509_get_subject_name(cert), buf, sizeof buf);
            c.subject = buf;
            X509_free(cert);
        }
        flush(c);
        if (conns.count(id))
            read_ready(c);  // data may have come with the last handshake record
        return;
    }
    int e = SSL_get_error(c.ssl, rc);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        c.want_write = e == SSL_ERROR_WANT_WRITE;
        rewatch(c);
        return;
    }
    LOG(LOGF_GENERAL, LOG_WARNING, "TLS transport: handshake with %s failed: %s", c.remote.key().c_str(),
        ssl_error().c_str());
    close_conn(id, -ECONNABORTED);
}

void TcpTransport::read_ready(conn_t& c)
{
    int id = c.id;
    char buf[16384];
    bool closed = false;
    for (int i = 0; i < 64; ++i) {
        ssize_t n;
        if (c.ssl) {
            ERR_clear_error();
            n = SSL_read(c.ssl, buf, sizeof buf);
            if (n <= 0) {
                int e = SSL_get_error(c.ssl, static_cast<int>(n));
                if (e == SSL_ERROR_WANT_READ)
                    break;
                if (e == SSL_ERROR_WANT_WRITE) {
                    c.want_write = true;
                    rewatch(c);
                    break;
                }
                closed = true;
                break;
            }
        } else {
            n = recv(c.fd, buf, sizeof buf, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                break;
            if (n <= 0) {
                closed = true;
                break;
            }
        }
        c.framer.feed(buf, static_cast<size_t>(n));
    }
    peer_t from;
    from.transport = type();
    from.addr = c.remote;
    from.transport_id = Transport::id();
    from.connection_id = id;
    from.tls_verified = c.verified;
    from.tls_subject = c.subject;
    for (int i = 0; i < 256; ++i) {
        std::string msg;
        auto r = c.framer.next(&msg);
        if (r == StreamFramer::Result::NeedMore)
            break;
        if (r == StreamFramer::Result::KeepAlive) {
            // RFC 5626 pong
            c.out += "\r\n";
            flush(c);
            if (!conns.count(id))
                return;
            continue;
        }
        if (r == StreamFramer::Result::Error) {
            LOG(LOGF_GENERAL, LOG_WARNING, "%s transport: unframeable data from %s, closing", transport_name(type()),
                c.remote.key().c_str());
            close_conn(id, -EPROTO);
            return;
        }
        host->received(msg.data(), msg.size(), from);
        if (!conns.count(id))
            return;
    }
    // Transactions waiting on this connection learn that it is gone.
    if (closed)
        close_conn(id, -ECONNRESET);
}

void TcpTransport::flush(conn_t& c)
{
    if (c.connecting || !c.ready) {
        rewatch(c);
        return;
    }
    while (!c.out.empty()) {
        ssize_t n;
        if (c.ssl) {
            ERR_clear_error();
            n = SSL_write(c.ssl, c.out.data(), static_cast<int>(c.out.size()));
            if (n <= 0) {
                int e = SSL_get_error(c.ssl, static_cast<int>(n));
                if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ)
                    break;
                close_conn(c.id, -EPIPE);
                return;
            }
        } else {
            n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                    break;
                int e = errno;
                close_conn(c.id, -e);
                return;
            }
        }
        c.out.erase(0, static_cast<size_t>(n));
    }
    c.want_write = false;
    rewatch(c);
}

void TcpTransport::close_conn(int id, int error)
{
    auto it = conns.find(id);
    if (it == conns.end())
        return;
    std::unique_ptr<conn_t> c = std::move(it->second);
    conns.erase(it);
    auto a = by_addr.find(c->remote.key());
    if (a != by_addr.end() && a->second == id)
        by_addr.erase(a);
    host->unwatch(c->fd);
    if (c->ssl) {
        if (c->ready)
            SSL_shutdown(c->ssl);
        SSL_free(c->ssl);
    }
    close(c->fd);
    if (error)
        host->connectionFailed(id, error);
}

int TcpTransport::send(const std::string& data, const sock_addr_t& dest, int connection_id, int* used_connection)
{
    conn_t* c = nullptr;
    auto it = conns.find(connection_id);
    if (connection_id && it != conns.end())
        c = it->second.get();
    if (!c) {
        auto a = by_addr.find(dest.key());
        if (a != by_addr.end())
            c = conns[a->second].get();
    }
    if (!c) {
        if (!dest.valid() || dest.family() != local_addr.family())
            return -EAFNOSUPPORT;
        if (conns.size() >= max_connections)
            return -EMFILE;
        int fd = socket(dest.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -errno;
        // Leave from the listening address so peers can answer on the table entry.
        sock_addr_t src = make_addr(local_addr.ip(), 0);
        if (local_addr.ip() != "0.0.0.0" && local_addr.ip() != "::")
            bind(fd, src.sa(), src.len);
        int rc = connect(fd, dest.sa(), dest.len);
        if (rc != 0 && errno != EINPROGRESS) {
            int e = errno;
            LOG(LOGF_GENERAL, LOG_WARNING, "%s transport: connect to %s failed: %s", transport_name(type()),
                dest.key().c_str(), strerror(e));
            close(fd);
            return -e;
        }
        c = add_conn(fd, dest, true);
        c->connecting = rc != 0;
        c->ready = !c->connecting && !c->ssl;
    }
    if (c->out.size() + data.size() > max_output)
        return -ENOBUFS;
    c->out += data;
    c->last = host->nowMs();
    if (used_connection)
        *used_connection = c->id;
    int id = c->id;
    if (c->ssl && !c->connecting && !c->ready)
        handshake(*c);
    else
        flush(*c);
    return conns.count(id) ? 0 : -EPIPE;
}

void TcpTransport::housekeeping(int64_t now_ms)
{
    std::vector<int> idle;
    for (const auto& [id, c] : conns)
        if (now_ms - c->last >= idle_ms && c->out.empty())
            idle.push_back(id);
    for (int id : idle) {
        LOG(LOGF_GENERAL, LOG_DEBUG, "%s transport: closing idle connection to %s", transport_name(type()),
            conns[id]->remote.key().c_str());
        close_conn(id, 0);
    }
}

int TcpTransport::setReceiveBuffer(int bytes)
{
    // Accepted connections inherit the listener's size.
    if (bytes <= 0 || setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
        return bytes <= 0 ? -EINVAL : -errno;
    return 0;
}

}  // namespace sipcore
