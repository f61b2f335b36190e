// Where the media of an m= line go: the remote address from its "altc"
// alternatives or c= line, and the gateway's own address of the same family.
#pragma once

#include <osipparser2/sdp_message.h>

#include <string>
#include <sys/socket.h>

// The gateway's addressing, given by the caller so that SDP work never
// depends on the host it runs on.
struct sdp_local_t {
    std::string ipv4;            // local IPv4 address text
    bool global_ipv6 = false;    // a global IPv6 address exists on some interface
    std::string ipv6;            // the device IPv6 address text
    int ipv6_prefix = -1;        // its prefix length; below 0 when the device has none

    bool ipv4_usable() const { return !global_ipv6 || ipv4 != "127.0.0.1"; }
    bool ipv6_usable() const { return global_ipv6 && ipv6_prefix >= 0; }
};

struct sdp_media_address_t {
    sockaddr_storage local{};    // family and address; the caller sets the port
    sockaddr_storage remote{};   // address and port
    socklen_t length = 0;        // of either address
    std::string type;            // "IP4" or "IP6"
    std::string local_text;
};

bool sdp_get_media_address(sdp_message_t* sdp, int m, const sdp_local_t& local, sdp_media_address_t& out);

// The port of an address in host order.
int sdp_address_port(const sockaddr_storage& address);
void sdp_address_set_port(sockaddr_storage& address, int port);

// Every SDP the gateway sends uses this RTP port for a channel (timeslot or
// virtual channel id); it is also the local port of the media connection.
inline int sdp_channel_port(int channel) { return 2 * (5000 + channel); }
