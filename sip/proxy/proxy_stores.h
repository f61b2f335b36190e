// The stores that live for the whole process: a proxy that stops and starts
// again finds its users, routes, domains and ACLs where it left them.
#pragma once

#include "sip/proxy/acl_store.h"
#include "sip/proxy/config_store.h"
#include "sip/proxy/route_store.h"
#include "sip/proxy/user_store.h"

namespace sipproxy {

struct proxy_stores_t {
    UserStore users;
    RouteStore routes;
    ConfigStore config;
    AclStore acls;
};

// The process's one set.
proxy_stores_t& proxy_stores();

}  // namespace sipproxy
