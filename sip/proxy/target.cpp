#include "sip/proxy/target.h"

#include <cstdlib>

namespace sipproxy {

bool Target::priorityMetricCompare(const std::unique_ptr<Target>& a, const std::unique_ptr<Target>& b)
{
    return a->priority() > b->priority();
}

QValueTarget::QValueTarget(const sipcore::NameAddr& contact) : Target(contact)
{
    if (!contact.hasParam("q"))
        return;
    std::string v = contact.param("q");
    char* end = nullptr;
    double d = strtod(v.c_str(), &end);
    if (end != v.c_str() && *end == '\0' && d >= 0 && d <= 1)
        q = static_cast<int>(d * 1000 + 0.5);
}

OutboundTarget::OutboundTarget(std::vector<contact_record_t> flows)
    : Target(flows.front().contact), list(std::move(flows)), q(list.front().contact)
{
    path = list.front().sip_path;
}

bool OutboundTarget::instanceCompare(const contact_record_t& a, const contact_record_t& b)
{
    return a.last_updated > b.last_updated;
}

}  // namespace sipproxy
