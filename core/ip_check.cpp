#include "core/ip_check.h"

#include <arpa/inet.h>
#include <cstring>

#include "core/channel_event.h"
#include "core/if_inet6.h"
#include "core/log.h"
#include "core/netif.h"
#include "core/watchdog.h"
#include "platform/command.h"

in_addr last_ipv4_address = {htonl(INADDR_LOOPBACK)};
in6_addr last_ipv6_address = {};
int last_ipv6_prefix = 0;

namespace {

ipv4_source_t ipv4_source = get_if_addr;   // main thread only
ipv6_source_t ipv6_source = get_ipv6_addr;
ip_change_steps_t steps{};                 // main thread only

void remove_domain(const std::string& address)
{
    if (steps.proxy_remove_domain)
        steps.proxy_remove_domain(address);
}

void add_domain(const std::string& address)
{
    if (steps.proxy_add_domain)
        steps.proxy_add_domain(address);
}

void proxy_ip_changed(const std::string& old_address, const std::string& new_address)
{
    if (steps.proxy_ip_changed)
        steps.proxy_ip_changed(old_address, new_address);
}

void msp_set_ip6(const in6_addr& address, int prefix)
{
    if (msp_ready && steps.msp_set_ip6)
        steps.msp_set_ip6(address, prefix);
}

bool current_ipv4(in_addr* addr)
{
    return ipv4_source("eth0", addr) == 0 || ipv4_source("ppp0", addr) == 0;
}

bool current_ipv6(in6_addr* addr, int* prefix)
{
    return ipv6_source(addr, "ppp0", prefix) || ipv6_source(addr, "eth0", prefix);
}

std::string text4(in_addr a)
{
    char buf[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

std::string text6(const in6_addr& a)
{
    char buf[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, &a, buf, sizeof buf);
}

}  // namespace

void ip_check_set_steps(const ip_change_steps_t& s) { steps = s; }

void ip_check_set_sources(ipv4_source_t v4, ipv6_source_t v6)
{
    ipv4_source = v4 ? v4 : get_if_addr;
    ipv6_source = v6 ? v6 : get_ipv6_addr;
}

void ip_check_baseline()
{
    in_addr a4;
    if (current_ipv4(&a4))
        last_ipv4_address = a4;
    in6_addr a6 = {};
    int prefix = -1;
    if (current_ipv6(&a6, &prefix)) {
        last_ipv6_address = a6;
        last_ipv6_prefix = prefix;
    }
    msp_set_ip6(last_ipv6_address, last_ipv6_prefix);
}

void ip_check()
{
    int changed = 0;

    in_addr a4;
    if (current_ipv4(&a4) && a4.s_addr != last_ipv4_address.s_addr) {
        std::string old_text = text4(last_ipv4_address), new_text = text4(a4);
        LOG(LOGF_GENERAL, 5, "IP change %s --> %s detected", old_text.c_str(), new_text.c_str());
        if (last_ipv4_address.s_addr != htonl(INADDR_LOOPBACK))
            remove_domain(old_text);
        add_domain(new_text);
        watchdog_kick();
        proxy_ip_changed(old_text, new_text);
        watchdog_kick();
        last_ipv4_address = a4;
        run_command("iptables -t filter -F OUTPUT");
        run_command("iptables -t filter -A OUTPUT -o eth2 -p icmp --icmp-type 3 -j DROP");
        changed = 1;
    }

    in6_addr a6 = {};
    int prefix = -1;
    if (current_ipv6(&a6, &prefix)) {
        if (memcmp(&a6, &last_ipv6_address, sizeof a6) == 0) {
            if (prefix != last_ipv6_prefix) {
                last_ipv6_prefix = prefix;
                msp_set_ip6(a6, prefix);
            }
        } else {
            std::string old_text = text6(last_ipv6_address), new_text = text6(a6);
            LOG(LOGF_GENERAL, 5, "IP change %s --> %s detected", old_text.c_str(), new_text.c_str());
            changed |= 2;
            last_ipv6_prefix = prefix;
            msp_set_ip6(a6, prefix);
            remove_domain(old_text);
            add_domain(new_text);
            watchdog_kick();
            proxy_ip_changed(old_text, new_text);
            watchdog_kick();
            last_ipv6_address = a6;
        }
    }

    if (changed)
        postChannelEvent(new channel_event_t(-1, EV_IP_ADDRESS_CHANGED, changed));
}
