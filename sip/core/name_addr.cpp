#include "sip/core/name_addr.h"

#include <strings.h>

#include <osipparser2/osip_port.h>

namespace sipcore {

NameAddr::~NameAddr()
{
    if (f)
        osip_from_free(f);
}

NameAddr::NameAddr(const NameAddr& o)
{
    if (o.f)
        osip_from_clone(o.f, &f);
}

NameAddr& NameAddr::operator=(const NameAddr& o)
{
    if (this != &o) {
        NameAddr copy(o);
        std::swap(f, copy.f);
    }
    return *this;
}

NameAddr& NameAddr::operator=(NameAddr&& o) noexcept
{
    if (this != &o) {
        if (f)
            osip_from_free(f);
        f = std::exchange(o.f, nullptr);
    }
    return *this;
}

NameAddr NameAddr::parse(const std::string& text)
{
    parser_ready();
    osip_from_t* p = nullptr;
    if (osip_from_init(&p) != 0)
        return {};
    if (text.empty() || !uri_escapes_sound(text.data(), text.size(), true) || osip_from_parse(p, text.c_str()) != 0 ||
        !p->url || (p->url->port && port_number(p->url->port) < 0)) {
        osip_from_free(p);
        return {};
    }
    return NameAddr(p);
}

NameAddr NameAddr::copyOf(const osip_from_t* h)
{
    osip_from_t* c = nullptr;
    if (!h || osip_from_clone(h, &c) != 0)
        return {};
    return NameAddr(c);
}

std::string NameAddr::toString() const
{
    char* s = nullptr;
    if (!f || osip_from_to_str(f, &s) != 0 || !s)
        return {};
    std::string r = s;
    osip_free(s);
    return r;
}

std::string NameAddr::displayName() const { return f && f->displayname ? f->displayname : ""; }

void NameAddr::setDisplayName(const std::string& name)
{
    if (!f)
        return;
    osip_free(f->displayname);
    f->displayname = name.empty() ? nullptr : osip_strdup(name.c_str());
}

Uri NameAddr::uri() const
{
    osip_uri_t* c = nullptr;
    if (!f || !f->url || osip_uri_clone(f->url, &c) != 0)
        return {};
    return Uri(c);
}

void NameAddr::setUri(const Uri& uri)
{
    if (!f)
        osip_from_init(&f);
    if (f->url)
        osip_uri_free(f->url);
    Uri copy(uri);
    f->url = copy.release();
}

bool NameAddr::hasParam(const std::string& name) const
{
    osip_generic_param_t* p = nullptr;
    return f && osip_generic_param_get_byname(&f->gen_params, const_cast<char*>(name.c_str()), &p) == 0 && p;
}

std::string NameAddr::param(const std::string& name) const
{
    osip_generic_param_t* p = nullptr;
    if (!f || osip_generic_param_get_byname(&f->gen_params, const_cast<char*>(name.c_str()), &p) != 0 || !p ||
        !p->gvalue)
        return {};
    return p->gvalue;
}

void NameAddr::removeParam(const std::string& name)
{
    if (!f)
        return;
    for (int i = 0; i < osip_list_size(&f->gen_params);) {
        auto* p = static_cast<osip_generic_param_t*>(osip_list_get(&f->gen_params, i));
        if (p->gname && strcasecmp(p->gname, name.c_str()) == 0) {
            osip_list_remove(&f->gen_params, i);
            osip_generic_param_free(p);
        } else {
            ++i;
        }
    }
}

void NameAddr::setParam(const std::string& name, const std::string& value)
{
    if (!f)
        return;
    removeParam(name);
    osip_generic_param_add(&f->gen_params, osip_strdup(name.c_str()), value.empty() ? nullptr : osip_strdup(value.c_str()));
}

}  // namespace sipcore
