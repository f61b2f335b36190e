// REGISTER for our own domains (RFC 3261 10.3): digest challenge (401)
// against the user store, queries, "Contact: *", expiries, contacts matched
// by instance and reg-id, the location database under the AOR's lock, and
// the registrar handlers. Runs on the stack thread, before the chains, and
// answers without a server transaction.
#pragma once

#include <string>
#include <vector>

#include "sip/core/digest.h"
#include "sip/proxy/acl_store.h"
#include "sip/proxy/location_db.h"
#include "sip/proxy/proxy.h"
#include "sip/proxy/registrar_handler.h"
#include "sip/proxy/user_store.h"

namespace sipproxy {

struct registrar_config_t {
    bool challenge = true;     // off: anyone may register any AOR
    std::string static_realm;  // "" = the AOR's host
    int default_expires = 3600;
};

class Registrar : public RequestHandler {
public:
    // users and acls may be null: no challenge, nobody trusted.
    Registrar(Proxy& proxy, LocationDb& db, const UserStore* users, const AclStore* acls,
              registrar_config_t config = {});
    void addRegistrarHandler(RegistrarHandler* h) { handlers.push_back(h); }

    bool handle(sipcore::Message& request, const sipcore::request_info_t& info, const responder_t& send) override;

private:
    // 0 when authorised; otherwise the response was sent.
    int authorise(const sipcore::Message& request, const sipcore::request_info_t& info, const responder_t& send);
    void reply(const responder_t& send, const sipcore::Message& request, int code, const std::string& reason = "");
    bool tell(const sipcore::Message& reg, const std::string& aor, bool (RegistrarHandler::*fn)(const sipcore::Message&, const std::string&));

    Proxy& proxy;
    LocationDb& db;
    const UserStore* users;
    const AclStore* acls;
    registrar_config_t cfg;
    sipcore::NonceMaker nonces;
    std::vector<RegistrarHandler*> handlers;
};

}  // namespace sipproxy
