#include "proxy/reg_info.h"

#include <cstdlib>

#include "core/log.h"

using sipproxy::XmlElement;
using sipproxy::xml_char_data_encode;

RegDataBase regDataBase;

namespace {
time_t (*reg_clock)() = nullptr;

uint64_t to_uint64(const std::string& text)
{
    // Digits only, like the records' own writer; anything else is 0.
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return v;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v;
}
}  // namespace

uint64_t reg_now()
{
    return static_cast<uint64_t>(reg_clock ? reg_clock() : time(nullptr));
}

void reg_set_clock(time_t (*clock)()) { reg_clock = clock; }

void ContactInfo::write(std::ostream& out) const
{
    uint64_t now = reg_now();
    out << "  <contactinfo>\r\n";
    out << "    <contacturi>" << xml_char_data_encode(contacturi) << "</contacturi>\r\n";
    out << "    <expires>" << (now >= expires ? 0 : expires - now) << "</expires>\r\n";
    out << "    <lastupdate>" << (lastupdate >= now ? 0 : now - lastupdate) << "</lastupdate>\r\n";
    if (!receivedfrom.empty())
        out << "    <receivedfrom>" << xml_char_data_encode(receivedfrom) << "</receivedfrom>\r\n";
    if (!publicaddress.empty())
        out << "    <publicaddress>" << xml_char_data_encode(publicaddress) << "</publicaddress>\r\n";
    for (const auto& p : sippath)
        if (!p.empty())
            out << "    <sippath>" << xml_char_data_encode(p) << "</sippath>\r\n";
    if (!instance.empty())
        out << "    <instance>" << xml_char_data_encode(instance) << "</instance>\r\n";
    if (!regid.empty())
        out << "    <regid>" << xml_char_data_encode(regid) << "</regid>\r\n";
    out << "  </contactinfo>\r\n";
}

void ContactInfo::parse(const XmlElement& element)
{
    for (const auto& c : element.children) {
        if (!c.has_value)
            continue;
        if (c.is("contacturi"))
            contacturi = c.value;
        else if (c.is("receivedfrom"))
            receivedfrom = c.value;
        else if (c.is("publicaddress"))
            publicaddress = c.value;
        else if (c.is("instance"))
            instance = c.value;
        else if (c.is("regid"))
            regid = c.value;
        else if (c.is("sippath"))
            sippath.push_back(c.value);
        else if (c.is("expires"))
            expires = to_uint64(c.value);
        else if (c.is("lastupdate"))
            lastupdate = to_uint64(c.value);
    }
}

void RegInfo::write(std::ostream& out) const
{
    out << "<reginfo>\r\n";
    out << "  <aor>" << xml_char_data_encode(aor) << "</aor>\r\n";
    for (const auto& c : contacts)
        c->write(out);
    out << "</reginfo>\r\n";
}

void RegInfo::parse(const XmlElement& element, uint32_t base_time)
{
    aor.clear();
    uint64_t base = base_time ? base_time : reg_now();
    bool found = false;
    for (const auto& c : element.children) {
        if (!c.is("aor"))
            continue;
        if (found) {
            LOG(LOGF_WEB, 4, "multiple <aor> in <reginfo>");
            return;
        }
        found = true;
        if (c.has_value)
            aor = c.value;
        if (aor.empty()) {
            LOG(LOGF_WEB, 4, "empty <aor> in <reginfo>");
            return;
        }
    }
    if (!found) {
        LOG(LOGF_WEB, 4, "no <aor> in <reginfo>");
        return;
    }
    for (const auto& c : element.children) {
        if (!c.is("contactinfo"))
            continue;
        auto contact = std::make_unique<ContactInfo>();
        contact->parse(c);
        if (contact->expires == 0)
            continue;
        contact->expires = base + contact->expires;
        contact->lastupdate = base - contact->lastupdate;
        contacts.push_back(std::move(contact));
    }
}

void RegInfo::pruneExpired()
{
    uint64_t now = reg_now();
    std::erase_if(contacts, [now](const std::unique_ptr<ContactInfo>& c) { return now > c->expires; });
}

std::ostream& operator<<(std::ostream& out, const ContactInfo& contact)
{
    contact.write(out);
    return out;
}

std::ostream& operator<<(std::ostream& out, const RegInfo& info)
{
    info.write(out);
    return out;
}

void RegDataBase::addRegInfo(std::unique_ptr<RegInfo> info)
{
    prune();
    if (!info) {
        LOG(LOGF_WEB, 3, "RegDataBase::addRegInfo(): info id NULL");
        return;
    }
    std::string key = info->aor;
    (*this)[key] = std::move(info);
}

void RegDataBase::prune()
{
    for (auto it = begin(); it != end();) {
        it->second->pruneExpired();
        if (it->second->contacts.empty())
            it = erase(it);
        else
            ++it;
    }
}

void RegDataBase::writeAll(std::ostream& out) const
{
    for (const auto& [aor, info] : *this)
        info->write(out);
}
