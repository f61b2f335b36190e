// Simulated media processor: answers the control protocol over a local
// datagram socket (each datagram = 32-byte driver address + message), keeps
// per-channel state, sends indications on request and on its own, injects
// faults and logs every command. Runs its own thread; every public call is
// thread-safe. Usable in-process (socketpair) or standalone (bound path) as
// the simulator program's "msp" device.
//
// Where things are: msp_simulator.cpp (thread, socket, command log),
// msp_sim_protocol.cpp (commands to the device), msp_sim_channels.cpp
// (per-channel commands and state), msp_sim_indications.cpp (indications,
// heartbeat), msp_sim_faults.cpp (fault injection), msp_sim_control.cpp
// (control requests and state), msp_device.cpp (the program's registration).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/sim_device.h"

struct MspSimFault {
    enum Kind { Status, Drop, Delay, Late, Duplicate, Truncate, Class, Index };
    Kind kind = Status;
    int fc = -1;           // -1: every function code
    int channel = -1;      // -1: every channelId
    int status = 0;        // Status: answered as class 0x02 with this status
    int delay_ms = 0;      // Delay, Late
    int length = 0;        // Truncate: bytes of the answer kept
    int cls = -1;          // Class: answer class byte (Index: the answer's index is off by one)
    int count = -1;        // answers it still applies to; -1 for ever
    double probability = 1;   // chance that it hits a matching answer
};

// One received command, as logged.
struct MspSimCommand {
    int64_t time_ms = 0;   // since the simulator started
    uint16_t channelId = 0;
    uint8_t cls = 0, type = 0, index = 0;
    uint16_t fc = 0;
    std::vector<uint8_t> bytes;   // the message as received (without the address)
};

struct MspSimTone {
    uint16_t control = 0, freq1 = 0, level1 = 0, freq2 = 0, level2 = 0, on_ms = 0, off_ms = 0;
};

// A header the media processor stamps on the connection's packets.
struct MspSimEthHeader {
    std::string dst, src;   // "aa:bb:cc:dd:ee:ff"
    uint16_t ethertype = 0;
};
struct MspSimIpHeader {
    int version = 4;
    std::string src, dst;
    uint16_t src_port = 0, dst_port = 0;
    int ttl = 0;
    int dscp = 0;   // IPv4 only
};

struct MspSimChannel {
    uint16_t id = 0;
    int type = 0;                // connection type it was created with
    int timeslot = 0xFFFF;       // 0xFFFF: none
    int conference = -1;         // conference id of a participant
    int voice_mode = -1;         // last VOPENA w8
    int tx_pt = -1;
    uint32_t ssrc = 0;
    int cas_tx = -1;             // transmitted ABCD bits (SET_TDM_SIGNALING)
    bool tone_playing = false;
    MspSimTone tone;
    int tone_offs = 0;
    int tone_generation = 0;
    int cnd_stops = 0;
    std::string cid_number, cid_name;
    int channel_mode = -1;       // SET_CHANNEL_MODE w8
    uint64_t play_bytes = 0;
    std::vector<uint32_t> play_offsets;
    int64_t play_until_ms = 0;   // when the buffered audio runs out
    int drains = 0, as_stops = 0;
    bool srtp_active = false;
    std::map<int, std::string> srtp_keys;   // direction -> key and salt (hex)
    std::map<int, MspSimEthHeader> eth;     // by protocol: 1 IPv4, 6 IPv6, 8 PPPoE
    std::map<int, MspSimIpHeader> ip;       // by part: 0 RTP, 1 RTCP
    int ip_mode = -1;                       // SET_CHANNEL_IP_MODE: 1 IPv6, 0 IPv4
    int pppoe_session = -1;
    std::vector<uint16_t> voice_options;    // VCEOPT w8..w16
    int dtmf_options = -1;
    int echo_canceller = -1;
    int jb_min = -1, jb_max = -1, jb_init = -1;
    int rx_gain = 0, tx_gain = 0;
    std::vector<std::vector<uint8_t>> hdlc_frames;
    std::vector<uint8_t> hdlc_partial;
    std::map<uint16_t, std::vector<uint8_t>> last;   // parameters of the last command per FC
};

class MspSimulator : public SimDevice {
public:
    // In-process: a socketpair; hand daemon_fd() to the daemon's transport.
    MspSimulator();
    // Standalone: a datagram socket bound at path, serving the daemon whose
    // socket is bound at path + MSP_SIM_DAEMON_SUFFIX; others are ignored.
    explicit MspSimulator(const std::string& path);
    ~MspSimulator() override;
    MspSimulator(const MspSimulator&) = delete;
    MspSimulator& operator=(const MspSimulator&) = delete;

    // The daemon's end of the socketpair (ownership passes; -1 afterwards).
    int take_daemon_fd();

    void start() override;
    void stop() override;

    void add_fault(const MspSimFault& fault);
    void clear_faults();
    std::vector<MspSimCommand> commands() const;
    size_t count(uint16_t fc) const;
    void clear_commands();

    // A channel left over from an earlier run: survives as long as the simulator.
    void plant_channel(int timeslot, uint16_t channelId, int type = 2);
    bool channel(uint16_t channelId, MspSimChannel& out) const;
    // Channel bound to a timeslot, -1 when none.
    int channel_of_timeslot(int timeslot) const;

    // Sends an indication (class 0x03 unless given) concerning channelId.
    void send_indication(uint16_t channelId, uint16_t fc, const std::vector<uint8_t>& parameters,
                         uint8_t cls = 0x03, uint8_t type = 0x02);
    // Sends raw message bytes with channelId in the address.
    void send_raw(uint16_t channelId, const std::vector<uint8_t>& message);

    // Heartbeat period and status word; play pacing on or off.
    void set_heartbeat(int period_ms, uint16_t status);
    void set_pacing(bool on);

    nlohmann::json state() const;
    // One control request (JSON object text) -> one reply line (JSON text).
    std::string control(const std::string& line);
    // The same for a parsed request; throws for a malformed one.
    nlohmann::json control_request(const nlohmann::json& request) override;
    std::string describe() const override;

    // Sim clock in 125 us ticks, as indications carry it.
    uint32_t ticks() const;

private:
    struct Answer {
        std::vector<uint8_t> bytes;
        int delay_ms = 0;
    };
    struct Device {
        int device_type = 1;        // M82530
        int revision = 0;
        std::string arm_version = "ARM 5.2.1";
        std::string spu_version = "SPU 5.2.1";
        uint32_t available = 64;
        std::map<int, uint16_t> phy;   // (phy << 8 | reg) -> value
        uint16_t mdio_status = 0;      // status word MDIO_BUS_READ answers with
        bool heartbeat = false;
        int heartbeat_period_ms = 1000;
        uint16_t heartbeat_status = 0x7FFB;
        std::map<int, int> monitored;   // timeslot -> monitor word
        std::map<uint16_t, std::vector<uint8_t>> last;   // last device command parameters per FC
    };

    // Every *_locked member, and everything run from timers, runs under m.

    // msp_simulator.cpp: thread, socket, timers
    void run();
    void wake();
    int64_t now_ms() const;
    void at(int64_t delay_ms, std::function<void()> action);
    void send_locked(uint16_t channelId, const std::vector<uint8_t>& message);
    void on_datagram(const uint8_t* data, size_t length);
    bool from_daemon(const sockaddr_un& from, socklen_t length) const;

    // msp_sim_protocol.cpp
    Answer handle(uint16_t channelId, const uint8_t* m, size_t length);
    Answer handle_device(const uint8_t* m, size_t length, uint8_t cls, uint16_t fc);

    // msp_sim_channels.cpp
    Answer handle_channel(uint16_t channelId, const uint8_t* m, size_t length, uint8_t cls, uint16_t fc);
    int allocate_channel_locked(int type, int timeslot);
    void plant_channel_locked(int timeslot, uint16_t channelId, int type);
    nlohmann::json channel_json(const MspSimChannel& c) const;

    // msp_sim_indications.cpp
    void indication_locked(uint16_t channelId, uint16_t fc, const std::vector<uint8_t>& parameters,
                           uint8_t cls = 0x03, uint8_t type = 0x02);
    void heartbeat_locked(int generation);
    nlohmann::json inject_locked(const nlohmann::json& request);

    // msp_sim_faults.cpp
    bool apply_faults(const MspSimCommand& c, Answer& a, bool& duplicate, bool& late);
    nlohmann::json fault_locked(const nlohmann::json& request);

    // msp_sim_control.cpp
    nlohmann::json state_locked() const;
    nlohmann::json control_locked(const nlohmann::json& request);
    nlohmann::json set_locked(const nlohmann::json& request);
    nlohmann::json log_locked(const nlohmann::json& request) const;

    mutable std::mutex m;
    int sock = -1;
    int daemon_fd = -1;
    std::string bound_path;
    int wake_pipe[2] = {-1, -1};
    std::thread thread;
    bool running = false;
    bool pacing = true;
    int64_t started_ms;
    std::multimap<int64_t, std::function<void()>> timers;
    std::vector<MspSimFault> faults;
    std::mt19937 fault_dice{20260101};   // fixed seed: a run can be repeated
    std::vector<MspSimCommand> log;
    std::set<uint64_t> late_pending;
    Device device;
    std::map<uint16_t, MspSimChannel> channels;
    std::map<int, std::vector<uint16_t>> conferences;
    int next_conference = 1;
    int heartbeat_generation = 0;
};
