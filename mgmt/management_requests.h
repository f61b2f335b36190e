// What the chassis controller asks over the management link: Get and Set of
// variables and control requests, and the reading of every variable.
#pragma once

#include <cstdint>
#include <string>

#include "mgmt/my_snmp.h"

class AbstractChannel;
class ManagementLink;

// Request and answer types (an answer adds 0x80 to its request's type).
enum : uint8_t {
    MGMT_GET = 0,
    MGMT_SET = 1,
    MGMT_ALARMS = 2,
    MGMT_CONTROL = 3,
    MGMT_VALUES = 4,
    MGMT_ANSWER = 0x80,
};
// Control sub-commands.
enum : uint8_t {
    MGMT_FIRMWARE_REVISION = 1,
    MGMT_REBOOT = 5,
};
// The code a reboot request must carry, shared with the controller.
constexpr uint8_t MGMT_REBOOT_CODE[4] = {0xDE, 0xAD, 0xBE, 0xEF};
// Requests wait unanswered beyond this many queued packets.
constexpr size_t MGMT_QUEUE_BUSY = 10;
// A Set repeated sooner is answered from the cache and not executed.
constexpr uint32_t MGMT_DUPLICATE_MS = 2500;
// Most bytes of a Get or Set answer's list.
constexpr int MGMT_ANSWER_ROOM = 1020;

// The request handler of the link: a good packet (type, id, body).
void handle_request(ManagementLink& link, const uint8_t* packet, int length);
void handle_get_request(ManagementLink& link, const uint8_t* packet, int length);

// Reads one variable; the result's status says whether it could. Poller
// thread and web server threads.
MyVarValue poller_read_var(const std::string& id);

// What only the layers above know, installed by the daemon's start-up.
// Every pointer may stay null: the variables that need it are then not read.
struct MgmtReadHooks {
    // Column 1 (settings), 2 (short configuration), 3 (status) or 5
    // (statistics) of a channel as compact JSON; channel_table_mutex is held.
    std::string (*channelJson)(AbstractChannel* channel, int column) = nullptr;
    std::string (*mspInfo)() = nullptr;       // .18.0
    int (*mspLoad)() = nullptr;               // .19.0
    int (*channelUsage)() = nullptr;          // .21.0
    std::string (*mspIp6)() = nullptr;        // .30.2.1.0: "" or "address/length"
    bool (*pppdRunning)() = nullptr;          // ppp0 instead of eth0
};
void mgmt_set_read_hooks(const MgmtReadHooks& hooks);
