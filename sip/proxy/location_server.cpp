#include "sip/proxy/location_server.h"

#include <algorithm>

#include "sip/proxy/request_context.h"

namespace sipproxy {

processor_action_t LocationServer::process(RequestContext& c)
{
    std::string aor = c.getRequest().requestUri().aorAsUri(c.getSource().transport);
    std::vector<contact_record_t> contacts;
    {
        RecordLock hold(db, aor);
        contacts = db.getContacts(aor);
    }
    if (contacts.empty())
        return processor_action_t::Continue;
    std::vector<std::unique_ptr<Target>> batch;
    for (const auto& r : contacts) {
        auto t = std::make_unique<QValueTarget>(r.contact);
        t->path = r.sip_path;
        batch.push_back(std::move(t));
    }
    std::stable_sort(batch.begin(), batch.end(), Target::priorityMetricCompare);
    c.getResponseContext().addTargetBatch(std::move(batch));
    return processor_action_t::Continue;
}

}  // namespace sipproxy
