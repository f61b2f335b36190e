#include "sip/proxy/user_info_message.h"

#include "sip/proxy/proxy.h"
#include "sip/proxy/user_store.h"

namespace sipproxy {

void lookup_user(Proxy& proxy, const UserStore& users, std::unique_ptr<UserInfoMessage> m)
{
    m->a1 = users.getUserAuthInfo(m->user, m->realm);
    int tid = m->tid;
    proxy.postEvent(tid, std::move(m));
}

}  // namespace sipproxy
