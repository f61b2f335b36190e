// The daemon's proxy in a scratch root, inside a network namespace of its
// own (eth0 10.1.1.1), with a phone socket on loopback; the proxy's users
// are erased after each test.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sys/stat.h>

#include "mgmt/var_store.h"
#include "platform/paths.h"
#include "proxy/repro_api.h"
#include "proxy/repro_runner.h"
#include "sip/core/digest.h"
#include "sip/sip_peer.h"
#include "support/net_namespace.h"
#include "support/tls_cert.h"

namespace proxytest {

using sipcore::Message;
using siptest::UdpPeer;

class ReproTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!NetNamespaces::usable())
            GTEST_SKIP() << "needs root for a network namespace";
        net.build();
        ASSERT_FALSE(HasFatalFailure());
        phone_socket = std::make_unique<UdpPeer>("127.0.0.1");
        char dir[] = "/tmp/linegw-repro-XXXXXX";
        root = mkdtemp(dir);
        mkdir((root + "/etc").c_str(), 0755);
        mkdir((root + "/tmp").c_str(), 0755);
        mkdir((root + "/tmp/ssl").c_str(), 0755);
        platform_set_root(root);
        standaloneMode = false;
    }

    void TearDown() override
    {
        repro_stop();
        MutexLock g(proxyMutex);
        auto& users = sipproxy::proxy_stores().users;
        for (std::string k = users.getFirstKey(); !k.empty(); k = users.getFirstKey())
            users.eraseUser(k);
        proxyUserOptions.clear();
        globalBlex.clear();
        platform_set_root("");
        if (!root.empty())
            std::system(("rm -rf " + root).c_str());
    }

    void config(const std::string& text)
    {
        std::ofstream(root + "/etc/repro.config") << text;
    }

    void tlsFiles()
    {
        std::ifstream c(cert.cert), k(cert.key);
        std::ofstream(root + "/tmp/ssl/sslcert") << c.rdbuf();
        std::ofstream(root + "/tmp/ssl/sslkey") << k.rdbuf();
    }

    // A REGISTER of user at host:5060 answered to its 401 with password;
    // the final status.
    int registerAt(const std::string& host, const std::string& user, const std::string& password)
    {
        sipcore::sock_addr_t to = sipcore::make_addr(host, 5060);
        std::string call = "r" + std::to_string(++seq) + "@test";
        auto text = [&](int cseq) {
            return "REGISTER sip:" + host + " SIP/2.0\r\nVia: SIP/2.0/UDP " + phone_ip + ":" +
                   std::to_string(phone_socket->port()) + ";branch=z9hG4bK" + call + std::to_string(cseq) +
                   ";rport\r\nFrom: <sip:" + user + "@" + host + ">;tag=f1\r\nTo: <sip:" + user + "@" + host +
                   ">\r\nCall-ID: " + call + "\r\nCSeq: " + std::to_string(cseq) +
                   " REGISTER\r\nMax-Forwards: 70\r\nContact: <sip:" + user + "@" + phone_ip + ":" +
                   std::to_string(phone_socket->port()) + ">;expires=300\r\nContent-Length: 0\r\n\r\n";
        };
        phone_socket->send(text(1), to);
        Message r = Message::parse(phone_socket->recv(5000));
        if (!r || r.statusCode() != 401)
            return r ? r.statusCode() : 0;
        Message again = Message::parse(text(2));
        sipcore::digest_credentials_t cr{user, password, ""};
        if (sipcore::digest_answer(again, r, cr, 1, "cn") != 0)
            return -1;
        phone_socket->send(again.toString(), to);
        r = Message::parse(phone_socket->recv(5000));
        return r ? r.statusCode() : 0;
    }

    NetNamespaces net;
    std::string root;
    testsupport::TlsCert cert;
    const std::string phone_ip = "127.0.0.1";
    std::unique_ptr<UdpPeer> phone_socket;   // made inside the namespace
    int seq = 0;
};

}  // namespace proxytest
