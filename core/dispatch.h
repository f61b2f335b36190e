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

// Keeps, replaces, creates or deletes the object at a bound "Channel settings"
// event's timeslot before the event goes to it. The classes live above this
// layer, so start-up registers the maker. Null: nothing is made.
typedef void (*channel_maker_fn)(JsonEvent_t* settings);
void dispatch_set_channel_maker(channel_maker_fn fn);

// The VirtualChannelManager, or null before it exists. Set by whoever creates
// it (start-up); dispatch offers it the events nobody else takes.
extern AbstractChannel* virtualChannelManager;

// The DHCP client switch the global settings drive ("dhcp" member, "no" when
// absent); registered by the network settings. Null: nothing to switch.
typedef void (*dhcp_client_fn)(const std::string& mode);
void dispatch_set_dhcp_client(dhcp_client_fn fn);
