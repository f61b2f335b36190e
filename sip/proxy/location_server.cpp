#include "sip/proxy/location_server.h"

#include <algorithm>

#include "sip/proxy/request_context.h"

namespace sipproxy {

processor_action_t LocationServer::process(RequestContext& c)
{
    std::string aor = c.getCurrentRequest().requestUri().aorAsUri(c.getSource().transport);
    std::vector<contact_record_t> contacts;
    if (db.hasRecord(aor)) {
        RecordLock hold(db, aor);
        contacts = db.getContacts(aor);
    }
    if (contacts.empty())
        return processor_action_t::Continue;
    c.getResponseContext().addTargetBatch(contact_targets(std::move(contacts)));
    return processor_action_t::Continue;
}

std::vector<std::unique_ptr<Target>> contact_targets(std::vector<contact_record_t> contacts)
{
    std::vector<std::unique_ptr<Target>> batch;
    std::vector<std::vector<contact_record_t>> instances;  // flows of one instance each, in first-seen order
    for (auto& r : contacts) {
        if (!r.instance.empty() && r.reg_id != 0) {
            auto same = std::find_if(instances.begin(), instances.end(),
                                     [&](const auto& l) { return l.front().instance == r.instance; });
            if (same != instances.end())
                same->push_back(std::move(r));
            else
                instances.push_back({std::move(r)});
            continue;
        }
        auto t = std::make_unique<QValueTarget>(r.contact);
        t->path = r.sip_path;
        batch.push_back(std::move(t));
    }
    for (auto& flows : instances) {
        std::stable_sort(flows.begin(), flows.end(), OutboundTarget::instanceCompare);
        batch.push_back(std::make_unique<OutboundTarget>(std::move(flows)));
    }
    std::stable_sort(batch.begin(), batch.end(), Target::priorityMetricCompare);
    return batch;
}

}  // namespace sipproxy
