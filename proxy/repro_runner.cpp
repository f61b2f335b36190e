#include "proxy/repro_runner.h"

#include <arpa/inet.h>
#include <syslog.h>

#include "core/log.h"
#include "core/netif.h"
#include "platform/paths.h"
#include "proxy/contact_fixup.h"
#include "proxy/my_accounting.h"
#include "proxy/my_location_server.h"
#include "proxy/repro_api.h"
#include "proxy/repro_static_route.h"

MyReproRunner* reproRunner = nullptr;
std::string proxyLocalAddress;

namespace {

std::string own_ipv4()
{
    in_addr a{};
    if (get_if_addr("eth0", &a) != 0 && get_if_addr("ppp0", &a) != 0)
        return "127.0.0.1";
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, text, sizeof text) ? text : "127.0.0.1";
}

// The users of old_address move to new_address, their digest hashes made
// again for the new realm: a hash of the old realm could never match a
// phone's answer to a challenge of the new one. proxyMutex held.
void move_users(sipproxy::UserStore& users, const std::string& old_address, const std::string& new_address)
{
    for (std::string key = users.getFirstKey(); !key.empty(); key = users.getNextKey(key)) {
        sipproxy::user_record_t r;
        if (!users.getUserInfo(key, &r) || r.domain != old_address)
            continue;
        std::string password = repro_user_password(key);
        bool moved = password.empty()
                         ? users.updateUser(key, r.user, new_address, new_address, r.passwordHash, false, r.name,
                                            r.email)
                         : users.updateUser(key, r.user, new_address, new_address, password, true, r.name, r.email);
        if (!moved) {
            LOG(LOGF_GENERAL, LOG_WARNING, "proxy: user %s not moved to %s: the user exists there", key.c_str(),
                new_address.c_str());
            continue;
        }
        if (password.empty())
            LOG(LOGF_GENERAL, LOG_WARNING, "proxy: user %s moved to %s without its password: it cannot log in",
                key.c_str(), new_address.c_str());
        repro_user_moved(key, sipproxy::UserStore::keyOf(r.user, new_address));
    }
}

}  // namespace

MyReproRunner::MyReproRunner()
{
    std::string address = own_ipv4();
    MutexLock g(proxyMutex);
    proxyLocalAddress = address;
}

MyReproRunner::~MyReproRunner() = default;

bool MyReproRunner::run()
{
    sipproxy::ConfigParse config;
    std::string why;
    if (config.parseFile(platform_path(args[1]), &why) != 0) {
        LOG(LOGF_GENERAL, LOG_ERR, "proxy: %s", why.c_str());
        return false;
    }
    setT1(repro_t1());
    if (!ProxyRunner::run(config, &why)) {
        LOG(LOGF_GENERAL, LOG_ERR, "proxy: %s", why.c_str());
        return false;
    }
    return true;
}

bool repro_start()
{
    MutexLock life(proxyLifecycleMutex);
    MyReproRunner* old;
    {
        MutexLock g(proxyMutex);
        old = reproRunner;
        reproRunner = nullptr;
    }
    if (old) {   // a second start: the first runner's ports are needed
        old->shutdown();
        delete old;
    }
    auto* runner = new MyReproRunner();
    {
        MutexLock g(proxyMutex);
        reproRunner = runner;
    }
    bool ok = runner->run();
    if (ok)
        runner->stores().acls.addAcl("localhost", 0, sipcore::TransportType::UDP);
    else
        LOG(LOGF_GENERAL, LOG_ERR, "****> repro_start(): rr->run()  returned false");
    return ok;
}

void repro_ip_changed(const std::string& old_address, const std::string& new_address)
{
    // Nobody starts or stops the proxy between the rewrite and the new start;
    // proxyMutex is not held across the stop, which waits for threads that take it.
    MutexLock life(proxyLifecycleMutex);
    {
        MutexLock g(proxyMutex);
        if (reproRunner) {
            move_users(reproRunner->stores().users, old_address, new_address);
            proxyLocalAddress = new_address;
        }
    }
    repro_stop();
    repro_start();
}

std::unique_ptr<sipproxy::Proxy> MyReproRunner::createProxy()
{
    // Stateless; its sessions outlive every proxy, so one collector serves all.
    static MyAccountingCollector collector;
    std::unique_ptr<sipproxy::Proxy> p = ProxyRunner::createProxy();
    if (config().getConfigBool("SessionAccountingEnabled", false) ||
        config().getConfigBool("RegistrationAccountingEnabled", false))
        p->setAccountingCollector(&collector);
    return p;
}

std::unique_ptr<sipproxy::RegSyncPeer> MyReproRunner::createRegSync(sipproxy::LocationDb& db)
{
    sipproxy::reg_sync_options_t o;
    o.client_port = 9071;
    o.server_port = 9070;
    return std::make_unique<sipproxy::RegSyncPeer>(db, o);
}

void MyReproRunner::addProcessor(sipproxy::ProcessorChain& chain, std::unique_ptr<sipproxy::Processor> processor)
{
    const std::string& name = processor->getName();
    if (name == "AmIResponsible") {
        addProcessor(chain, std::make_unique<ContactFixup>());
        ProxyRunner::addProcessor(chain, std::move(processor));
    } else if (name == "LocationServer") {
        addProcessor(chain, std::make_unique<MyLocationServer>(getLocationDb(), &stores().users));
    } else if (name == "StaticRoute") {
        addProcessor(chain, std::make_unique<repro::MyStaticRoute>(config(), stores().routes));
    } else {
        ProxyRunner::addProcessor(chain, std::move(processor));
    }
}

void MyReproRunner::makeRequestProcessorChain(sipproxy::ProcessorChain& chain)
{
    ProxyRunner::makeRequestProcessorChain(chain);
    addProcessor(chain, std::make_unique<DialogTracker>(&dialogs));
    addRegistrarHandler();
}

void MyReproRunner::makeResponseProcessorChain(sipproxy::ProcessorChain& chain)
{
    addProcessor(chain, std::make_unique<DialogTracker>(&dialogs));
    ProxyRunner::makeResponseProcessorChain(chain);
}

void MyReproRunner::makeTargetProcessorChain(sipproxy::ProcessorChain& chain)
{
    addProcessor(chain, std::make_unique<DialogTracker>(&dialogs));
    ProxyRunner::makeTargetProcessorChain(chain);
}

void MyReproRunner::addRegistrarHandler()
{
    if (sipproxy::Registrar* r = getRegistrar())
        r->addRegistrarHandler(&registrar_handler);
    else
        LOG(LOGF_GENERAL, LOG_ERR, "MyReproRunner::addRegistrarHandler(): no Registrar object");
}
