// Hands one event to whoever it concerns, then deletes it. Main thread only,
// with channel_table_mutex held.
//   channel 0..255   the channel at that timeslot ("Channel settings" first
//                    create, replace or delete it by their "type")
//   256..999         dropped
//   1000 and above   the virtual channel manager
//   negative         the claim protocol: offered to every channel, and to the
//                    manager, until one claims it by writing its number
#pragma once

#include <string>

#include "core/abstract_channel.h"
#include "core/channel_event.h"

void dispatchEvent(channel_event_t* event);

// The VirtualChannelManager, or null before it exists.
extern AbstractChannel* virtualChannelManager;

// The DHCP client switch the global settings drive ("dhcp" member, "no" when
// absent); registered by the network settings. Null: nothing to switch.
typedef void (*dhcp_client_fn)(const std::string& mode);
void dispatch_set_dhcp_client(dhcp_client_fn fn);
