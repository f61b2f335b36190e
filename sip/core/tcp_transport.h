// TCP and TLS: a listening socket, a table of connections keyed by remote
// address (used for responses and later requests alike), Content-Length
// framing, idle clean-up.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "sip/core/stream_framer.h"
#include "sip/core/transport.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace sipcore {

struct tls_options_t {
    std::string cert_file;  // PEM server certificate (chain)
    std::string key_file;   // PEM private key
    std::string ca_file;    // PEM CAs trusted for peer certificates
    // Certificates asked of clients that connect to us.
    enum class Verify { None, Optional, Mandatory } client_verify = Verify::None;
    bool verify_server = false;  // outgoing connections check the server against ca_file
};

class TcpTransport : public Transport {
public:
    static std::unique_ptr<TcpTransport> open(TransportHost* host, TransportType type, const std::string& ip, int port,
                                              const tls_options_t* tls, int* error, int64_t idle_ms = 300000);
    ~TcpTransport() override;

    TransportType type() const override { return tls_ctx ? TransportType::TLS : TransportType::TCP; }
    int send(const std::string& data, const sock_addr_t& dest, int connection_id, int* used_connection) override;
    int setReceiveBuffer(int bytes) override;
    void housekeeping(int64_t now_ms) override;
    size_t connectionCount() const override { return conns.size(); }

private:
    struct conn_t;
    TcpTransport(TransportHost* h, int fd, SSL_CTX* ctx, int64_t idle);
    void accept_ready();
    void event(int id, short revents);
    void handshake(conn_t& c);
    void read_ready(conn_t& c);
    void flush(conn_t& c);
    void rewatch(conn_t& c);
    void close_conn(int id, int error);
    conn_t* add_conn(int fd, const sock_addr_t& remote, bool outgoing);

    TransportHost* host;
    int listener;
    SSL_CTX* tls_ctx = nullptr;
    int64_t idle_ms;
    std::map<int, std::unique_ptr<conn_t>> conns;
    std::map<std::string, int> by_addr;
};

}  // namespace sipcore
