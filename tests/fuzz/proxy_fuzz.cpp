// Arbitrary bytes into the proxy's message intake: request checks, the
// registrar, the request chain of a runner-built proxy (trusted node, digest
// authenticator with its two-step lookup, relay check, static routes,
// location), forking and responses. The input is split at "\0\0" into up to
// four messages fed one after another (an INVITE then its CANCEL, say). The
// stack has no transports, so nothing leaves the process.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "core/log.h"
#include "sip/proxy/am_i_responsible.h"
#include "sip/proxy/digest_authenticator.h"
#include "sip/proxy/is_trusted_node.h"
#include "sip/proxy/location_server.h"
#include "sip/proxy/proxy.h"
#include "sip/proxy/proxy_stores.h"
#include "sip/proxy/registrar.h"
#include "sip/proxy/simple_target_handler.h"
#include "sip/proxy/static_route.h"
#include "sip/proxy/strict_route_fixup.h"

using namespace sipproxy;

namespace {

void quiet(int, const char*) {}

struct Setup {
    proxy_stores_t stores;
    LocationDb db;
    std::unique_ptr<Proxy> proxy;
    std::unique_ptr<Registrar> registrar;

    Setup()
    {
        stores.users.addUser("201", "example.com", "example.com", "secret", true, "", "");
        stores.routes.addRoute("", "", "^sip:9([0-9]+)@", "", "sip:$1@10.0.0.9", 0);
        stores.acls.addAcl("10.0.0.0/8", 0, sipcore::TransportType::UDP);
        contact_record_t c;
        c.contact = sipcore::NameAddr::parse("<sip:202@10.0.0.7:5062>;q=0.5");
        c.reg_expires = db.now() + 3600;
        c.sip_path = {"<sip:10.0.0.8;lr>"};
        db.updateContact("sip:202@example.com", c);
        fresh();
    }
    void fresh()
    {
        registrar.reset();
        proxy_config_t cfg;
        cfg.domains = {"example.com", "127.0.0.1"};
        cfg.record_route_uri = "sip:127.0.0.1;lr";
        cfg.timer_c_ms = 1000;
        proxy = std::make_unique<Proxy>(cfg);
        registrar = std::make_unique<Registrar>(*proxy, db, &stores.users, &stores.acls);
        proxy->setRequestHandler(registrar.get());
        ProcessorChain& c = proxy->requestChain();
        c.add(std::make_unique<StrictRouteFixup>());
        c.add(std::make_unique<IsTrustedNode>(stores.acls));
        c.add(std::make_unique<DigestAuthenticator>(stores.users));
        c.add(std::make_unique<AmIResponsible>());
        c.add(std::make_unique<StaticRoute>(stores.routes));
        c.add(std::make_unique<LocationServer>(db));
        proxy->targetChain().add(std::make_unique<SimpleTargetHandler>());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Setup* s = nullptr;
    static int uses = 0;
    log_set_sink(quiet);
    if (!s)
        s = new Setup();
    // A fresh proxy now and then keeps unfinished requests from piling up.
    if (++uses > 300) {
        s->fresh();
        uses = 0;
    }
    const char* buf = reinterpret_cast<const char*>(data);
    sipcore::peer_t from;
    from.addr = sipcore::make_addr(size % 2 ? "10.1.2.3" : "192.0.2.1", 5060);
    size_t start = 0;
    for (int part = 0; part < 4 && start <= size; ++part) {
        const void* sep = size - start >= 2 ? memmem(buf + start, size - start, "\0\0", 2) : nullptr;
        size_t end = sep ? static_cast<size_t>(static_cast<const char*>(sep) - buf) : size;
        s->proxy->stack().received(buf + start, end - start, from);
        s->proxy->stack().runOnce(0);  // posted lookups resume their processors
        if (!sep)
            break;
        start = end + 2;
    }
    return 0;
}
