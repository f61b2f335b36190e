// A small SIP application on the core, for SIPp, openssl s_client and the
// benchmark: answers OPTIONS and REGISTER; takes INVITE, answers 200, takes ACK and BYE.
// With --auth it challenges INVITE (401) and checks the digest answer.
//
//   sip_core_app [--udp IP] [--tcp IP] [--tls IP --cert F --key F] [--port N]
//                [--auth REALM:USER:PASSWORD] [--ports-file F] [--t1 MS]
// Port 0 (the default) takes free ports; --ports-file receives "udp tcp tls".
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>

#include "sip/core/digest.h"
#include "sip/core/response.h"
#include "sip/core/stack.h"
#include "sip/core/tcp_transport.h"

using namespace sipcore;

namespace {

volatile sig_atomic_t stop_flag = 0;
void on_signal(int) { stop_flag = 1; }

const char* sdp =
    "v=0\r\no=app 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
    "m=audio 6000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";

class App : public StackUser {
public:
    Stack* stack = nullptr;
    std::string realm, user, ha1;
    NonceMaker nonces;
    unsigned long answered = 0;

    void onRequest(int tid, Message req, const request_info_t& info) override
    {
        std::string m = req.method();
        response_options_t o;
        o.server = "sip-core-app";
        if (m == "OPTIONS") {
            Message r = make_response(req, 200, o);
            r.addHeader("Allow", "INVITE, ACK, BYE, CANCEL, OPTIONS");
            r.addHeader("Accept", "application/sdp");
            stack->sendResponse(tid, std::move(r));
        } else if (m == "INVITE") {
            if (!realm.empty() && !authorised(req)) {
                challenge_t c;
                c.realm = realm;
                c.nonce = nonces.make();
                stack->sendResponse(tid, make_challenge(req, 401, c, o));
                return;
            }
            Message r = make_response(req, 200, o);
            Uri contact = req.requestUri();
            contact.setHost(info.from.transport == TransportType::UDP ? "127.0.0.1" : "127.0.0.1");
            r.addHeader("Contact", "<sip:app@" + stack->localAddress(info.from.transport_id).key() + ">");
            r.setBody("application/sdp", sdp);
            stack->sendResponse(tid, std::move(r), true);
        } else if (m == "BYE" || m == "CANCEL") {
            stack->sendResponse(tid, make_response(req, 200, o));
            if (m == "CANCEL" && info.cancels)
                stack->sendResponse(info.cancels, make_response(req, 487, o));
        } else {
            stack->sendResponse(tid, make_response(req, 405, o));
        }
        ++answered;
    }
    // A registrar's answer without a store or a transaction: the binding as asked.
    bool onStatelessRequest(Message& req, const request_info_t& info) override
    {
        if (req.method() != "REGISTER")
            return false;
        response_options_t o;
        o.server = "sip-core-app";
        Message r = make_response(req, 200, o);
        std::string contact = req.header("Contact");
        if (!contact.empty())
            r.addHeader("Contact", contact + ";expires=3600");
        stack->sendStatelessResponse(std::move(r), info.from);
        ++answered;
        return true;
    }
    void onResponse(int, Message) override {}

private:
    bool authorised(const Message& req)
    {
        digest_response_t d;
        if (digest_parse_response(req.header("Authorization"), &d) != 0)
            return false;
        return d.username == user && d.realm == realm && nonces.check(d.nonce) == NonceMaker::Check::Valid &&
               digest_verify(d, req.method(), ha1);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> opt;
    for (int i = 1; i + 1 < argc; i += 2)
        opt[argv[i]] = argv[i + 1];
    App app;
    Stack stack(&app);
    app.stack = &stack;
    if (opt.count("--t1"))
        stack.setT1(atoi(opt["--t1"].c_str()));
    if (opt.count("--auth")) {
        std::string a = opt["--auth"];
        size_t c1 = a.find(':'), c2 = a.find(':', c1 + 1);
        if (c1 == std::string::npos || c2 == std::string::npos) {
            fprintf(stderr, "--auth wants REALM:USER:PASSWORD\n");
            return 2;
        }
        app.realm = a.substr(0, c1);
        app.user = a.substr(c1 + 1, c2 - c1 - 1);
        app.ha1 = digest_ha1(app.user, app.realm, a.substr(c2 + 1));
    }
    int port = opt.count("--port") ? atoi(opt["--port"].c_str()) : 0;
    int ports[3] = {0, 0, 0};
    if (opt.count("--udp")) {
        int id = stack.addTransport(TransportType::UDP, opt["--udp"], port);
        if (id < 0)
            return 1;
        ports[0] = stack.localAddress(id).port();
    }
    if (opt.count("--tcp")) {
        int id = stack.addTransport(TransportType::TCP, opt["--tcp"], port);
        if (id < 0)
            return 1;
        ports[1] = stack.localAddress(id).port();
    }
    if (opt.count("--tls")) {
        tls_options_t tls;
        tls.cert_file = opt["--cert"];
        tls.key_file = opt["--key"];
        int id = stack.addTransport(TransportType::TLS, opt["--tls"], port ? port + 1 : 0, &tls);
        if (id < 0)
            return 1;
        ports[2] = stack.localAddress(id).port();
    }
    if (opt.count("--ports-file")) {
        std::string tmp = opt["--ports-file"] + ".tmp";
        FILE* f = fopen(tmp.c_str(), "w");
        if (!f)
            return 1;
        fprintf(f, "%d %d %d\n", ports[0], ports[1], ports[2]);
        fclose(f);
        rename(tmp.c_str(), opt["--ports-file"].c_str());
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    // Driven on this thread: the app is the stack thread's only user.
    while (!stop_flag)
        stack.runOnce(200);
    return 0;
}
