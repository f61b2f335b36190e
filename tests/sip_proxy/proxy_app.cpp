// A small proxy on the framework, for SIPp and the benchmark.
//
//   proxy_app --udp IP [--port N] [--ports-file F] [--rr] [--domain D]
//             [--fork USER=URI,URI...] [--serial USER=URI,URI...]
//             [--wait-ms N] [--timer-c MS] [--t1 MS] [--user NAME:PASSWORD]...
//             [--users-file F] [--rcvbuf BYTES]
//
// --fork gives USER one batch of targets forked in parallel, --serial one
// queue per URI; --wait-ms makes every INVITE wait that long in a processor
// for an event from another thread; --rr record-routes through this proxy;
// --user adds a user of domain 127.0.0.1 and with it the registrar (401
// digest challenge) and the location lookup of registered contacts;
// --users-file reads NAME:PASSWORD lines the same way. --rcvbuf sizes the
// socket's receive buffer: a burst longer than the default holds is dropped
// by the kernel, and a callee that never retransmits leaves the call unfinished.
// Port 0 (the default) takes a free port; --ports-file receives it.
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sip/proxy/am_i_responsible.h"
#include "sip/proxy/location_server.h"
#include "sip/proxy/proxy.h"
#include "sip/proxy/registrar.h"
#include "sip/proxy/request_context.h"
#include "sip/proxy/simple_target_handler.h"
#include "sip/proxy/strict_route_fixup.h"

using namespace sipproxy;

namespace {

volatile sig_atomic_t stop_flag = 0;
void on_signal(int) { stop_flag = 1; }

struct Tick : ProcessorEvent {};

// Waits for an event another thread posts after a delay: stands in for a
// lookup that answers later.
class Delay : public Processor {
public:
    Delay(Proxy& proxy, int ms) : Processor("Delay"), proxy(proxy), ms(ms), worker([this] { loop(); }) {}
    ~Delay() override
    {
        {
            std::lock_guard<std::mutex> g(lock);
            done = true;
        }
        wake.notify_all();
        worker.join();
    }
    processor_action_t process(RequestContext& c) override
    {
        if (dynamic_cast<const Tick*>(c.getCurrentEvent()) || c.getOriginalRequest().method() != "INVITE")
            return processor_action_t::Continue;
        {
            std::lock_guard<std::mutex> g(lock);
            due.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), c.getTransactionId()});
        }
        wake.notify_all();
        return processor_action_t::WaitingForEvent;
    }

private:
    void loop()
    {
        std::unique_lock<std::mutex> g(lock);
        while (!done) {
            if (due.empty()) {
                wake.wait(g);
                continue;
            }
            auto [at, tid] = due.front();
            if (wake.wait_until(g, at) == std::cv_status::no_timeout)
                continue;
            due.pop_front();
            g.unlock();
            proxy.postEvent(tid, std::make_unique<Tick>());
            g.lock();
        }
    }
    Proxy& proxy;
    int ms;
    std::mutex lock;  // guards due and done
    std::condition_variable wake;
    std::deque<std::pair<std::chrono::steady_clock::time_point, int>> due;
    bool done = false;
    std::thread worker;
};

// Targets from the command line, by Request-URI user.
class StaticLocation : public Processor {
public:
    StaticLocation() : Processor("StaticLocation") {}
    std::map<std::string, std::vector<std::string>> fork, serial;
    processor_action_t process(RequestContext& c) override
    {
        std::string user = c.getCurrentRequest().requestUri().user();
        ResponseContext& r = c.getResponseContext();
        if (auto it = fork.find(user); it != fork.end()) {
            std::vector<std::unique_ptr<Target>> batch;
            for (const auto& u : it->second)
                batch.push_back(std::make_unique<Target>(sipcore::Uri::parse(u)));
            r.addTargetBatch(std::move(batch));
        }
        if (auto it = serial.find(user); it != serial.end())
            for (const auto& u : it->second)
                r.addTarget(std::make_unique<Target>(sipcore::Uri::parse(u)));
        return processor_action_t::Continue;
    }
};

bool split_targets(const std::string& arg, std::string* user, std::vector<std::string>* uris)
{
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    *user = arg.substr(0, eq);
    std::string rest = arg.substr(eq + 1);
    for (size_t start = 0; start <= rest.size();) {
        size_t comma = rest.find(',', start);
        std::string u = rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!sipcore::Uri::parse(u))
            return false;
        uris->push_back(u);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return !uris->empty();
}

}  // namespace

int main(int argc, char** argv)
{
    std::multimap<std::string, std::string> opt;
    bool rr = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--rr")
            rr = true;
        else if (i + 1 < argc)
            opt.emplace(a, argv[++i]);
        else {
            fprintf(stderr, "%s needs a value\n", a.c_str());
            return 2;
        }
    }
    auto get = [&](const char* k, const std::string& d = "") {
        auto it = opt.find(k);
        return it == opt.end() ? d : it->second;
    };
    proxy_config_t cfg;
    cfg.server_text = "proxy-app";
    cfg.domains.push_back("127.0.0.1");
    for (auto [it, end] = opt.equal_range("--domain"); it != end; ++it)
        cfg.domains.push_back(it->second);
    if (opt.count("--timer-c"))
        cfg.timer_c_ms = atoi(get("--timer-c").c_str());
    sipcore::stack_config_t scfg;
    if (opt.count("--t1"))
        scfg.t1_ms = atoi(get("--t1").c_str());
    Proxy proxy(cfg, scfg);
    std::string ip = get("--udp", "127.0.0.1");
    int id = proxy.addTransport(sipcore::TransportType::UDP, ip, atoi(get("--port", "0").c_str()));
    if (id <= 0) {
        fprintf(stderr, "cannot listen on %s\n", ip.c_str());
        return 1;
    }
    if (opt.count("--rcvbuf")) {
        int rc = proxy.stack().setReceiveBuffer(id, atoi(get("--rcvbuf").c_str()));
        if (rc != 0) {
            fprintf(stderr, "cannot set the receive buffer to %s bytes (%d)\n", get("--rcvbuf").c_str(), rc);
            return 1;
        }
    }
    int port = proxy.transportPort(id);
    if (rr)
        proxy.setRecordRouteUri("sip:" + ip + ":" + std::to_string(port) + ";lr");

    auto location = std::make_unique<StaticLocation>();
    for (const char* k : {"--fork", "--serial"})
        for (auto [it, end] = opt.equal_range(k); it != end; ++it) {
            std::string user;
            std::vector<std::string> uris;
            if (!split_targets(it->second, &user, &uris)) {
                fprintf(stderr, "%s wants USER=URI[,URI...]\n", k);
                return 2;
            }
            (std::string(k) == "--fork" ? location->fork : location->serial)[user] = uris;
        }
    proxy.requestChain().add(std::make_unique<StrictRouteFixup>());
    proxy.requestChain().add(std::make_unique<AmIResponsible>());
    if (opt.count("--wait-ms"))
        proxy.requestChain().add(std::make_unique<Delay>(proxy, atoi(get("--wait-ms").c_str())));
    proxy.requestChain().add(std::move(location));
    UserStore users;
    LocationDb db;
    std::unique_ptr<Registrar> registrar;
    for (auto [it, end] = opt.equal_range("--user"); it != end; ++it) {
        size_t colon = it->second.find(':');
        if (colon == std::string::npos || colon == 0) {
            fprintf(stderr, "--user wants NAME:PASSWORD\n");
            return 2;
        }
        users.addUser(it->second.substr(0, colon), "127.0.0.1", "127.0.0.1", it->second.substr(colon + 1), true, "", "");
    }
    if (opt.count("--users-file")) {
        FILE* f = fopen(get("--users-file").c_str(), "r");
        if (!f) {
            fprintf(stderr, "cannot read %s\n", get("--users-file").c_str());
            return 2;
        }
        char line[512];
        while (fgets(line, sizeof line, f)) {
            std::string l = line;
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
                l.pop_back();
            size_t colon = l.find(':');
            if (colon != std::string::npos && colon > 0)
                users.addUser(l.substr(0, colon), "127.0.0.1", "127.0.0.1", l.substr(colon + 1), true, "", "");
        }
        fclose(f);
    }
    if (users.size()) {
        registrar = std::make_unique<Registrar>(proxy, db, &users, nullptr);
        proxy.setRequestHandler(registrar.get());
        proxy.requestChain().add(std::make_unique<LocationServer>(db));
    }
    proxy.targetChain().add(std::make_unique<SimpleTargetHandler>());

    if (opt.count("--ports-file")) {
        std::string f = get("--ports-file"), tmp = f + ".tmp";
        FILE* out = fopen(tmp.c_str(), "w");
        if (!out)
            return 1;
        fprintf(out, "%d\n", port);
        fclose(out);
        rename(tmp.c_str(), f.c_str());
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    proxy.stack().start();
    while (!stop_flag)
        usleep(50000);
    proxy.stack().stop();
    return 0;
}
