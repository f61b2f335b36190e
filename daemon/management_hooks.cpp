#include "daemon/management_hooks.h"

#include <arpa/inet.h>

#include "core/dispatch.h"
#include "core/json_value.h"
#include "mgmt/management_link.h"
#include "mgmt/management_requests.h"
#include "mgmt/network_settings.h"
#include "mgmt/poller.h"
#include "mgmt/var_write.h"
#include "msp/comcerto_channel.h"
#include "msp/comcerto_device.h"
#include "msp/sip_channel.h"
#include "proxy/proxy_tables.h"
#include "proxy/repro_api.h"
#include "ua/user_directory.h"

namespace {

ManagementLink managementLink(handle_request);

// channel_table_mutex is held by the caller.
std::string channel_json(AbstractChannel* channel, int column)
{
    JsonValue out;
    out.kind = JSON_HASH;
    auto* c = dynamic_cast<ComcertoChannel*>(channel);
    if (!c)
        return out.toString();
    switch (column) {
    case 1:
        c->getSettings(out);
        break;
    case 2:
        out["type"] = json_string(c->getTypeName() ? c->getTypeName() : "");
        out["pcmCode"] = json_int(c->pcmCode);
        if (auto* sip = dynamic_cast<SIPChannel*>(c)) {
            out["uri"] = json_string(sip->uri);
            out["realname"] = json_string(sip->realName);
        }
        break;
    case 3:
        c->getStatus(out);
        break;
    case 5:
        c->getStatistics(out);
        break;
    }
    return out.toString();
}

std::string msp_info()
{
    JsonValue out;
    out["device_type"].setString(msp_device_name);
    out["fw_rev"].setString(msp_fw_version);
    out["spu_rev"].setString(msp_spu_version);
    if (int capacity = msp_capacity.load(); capacity >= 0) {
        out["capacity"].kind = JSON_INTEGER;
        out["capacity"].integer = capacity;
    }
    return out.toString();
}

std::string msp_ip6()
{
    uint8_t address[16] = {};
    int length = -1;
    comcerto_get_ip6(address, &length);
    char text[INET6_ADDRSTRLEN];
    if (length < 0 || !inet_ntop(AF_INET6, address, text, sizeof text))
        return "";
    return std::string(text) + "/" + std::to_string(length);
}

}  // namespace

void daemon_install_management_link()
{
    MgmtReadHooks hooks;
    hooks.channelJson = channel_json;
    hooks.mspInfo = msp_info;
    hooks.mspLoad = comcerto_get_load;
    hooks.channelUsage = comcerto_get_channel_usage;
    hooks.mspIp6 = msp_ip6;
    mgmt_set_read_hooks(hooks);
    MgmtWriteHooks writes;
    writes.ntgConfig = comcerto_NTG_CONFIG;
    writes.setSyncChannel = comcerto_set_sync_channel;
    writes.setIp6 = comcerto_set_ip6;
    writes.updateUserDirectory = ua_update_user_directory;
    writes.reproRestart = repro_restart;
    writes.reproRemoveDomain = repro_remove_domain;
    writes.proxyChunk = repro_proxy_chunk;
    writes.applyNetworkSettings = apply_network_settings;
    writes.stopNtpClient = stop_ntpclient;
    mgmt_set_write_hooks(writes);
    poller_set_link(&managementLink);
    dispatch_set_dhcp_client(start_dhcp_client);
}
