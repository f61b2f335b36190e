// The poller thread: the device side of the daemon. It loads the FPGA,
// watches its status and the board address, detects the plug-in modules,
// moves the management link's bytes between the FPGA's FIFOs and the link,
// scans the E1 alarm and CAS-A bits and drives the module drivers. It tells
// the channels everything through posted events.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Builds the variable table, saves eth0's link-local address, reads the
// firmware revision and the log settings, starts the thread (1 MiB stack).
// False when the thread cannot be created.
bool start_poller();
// Stops the thread (it leaves at its next pass start, also from a failing
// FPGA load), the web servers, and gives eth0 its link-local address back.
void stop_poller();
// Asks the registration sync to save, gives it a second, runs /sbin/reboot.
void poller_reboot();

// Main thread only: watch (or stop watching) a timeslot's CAS-A bit; its
// changes reach the channel as EV_CAS_A_ACTIVITY with the bit as data.
void poller_set_cas_activity_flag(int timeslot);
void poller_clear_cas_activity_flag(int timeslot);
// The timeslot's CAS-A bit in its word position (1 << (t % 32), or 0); -1
// outside 0..255.
int poller_get_cas_a(int timeslot);

// Timer callbacks (main thread): end the alarm test (relay off) and the PoE
// port reset.
void finish_alarm_test(void* argument);
void finish_poe_reset(void* argument);
constexpr int POE_CONTROLLER = 0x20;   // I2C device

// Gives eth0 back the link-local address saved at start_poller. 0, or -1
// with errno (EEXIST: eth0 still has it).
int poller_restore_link_local();

// The management link as the poller drives it over the FPGA's FIFOs.
class PollerLink {
public:
    virtual ~PollerLink() = default;
    // Bytes taken from the receive FIFO.
    virtual void receive(const uint8_t* data, int length) = 0;
    // A frame is waiting, or partly sent, for the transmit FIFO.
    virtual bool framePending() = 0;
    // Copies at most space bytes of the pending frame to out; the count.
    virtual int fillTx(uint8_t* out, int space) = 0;
    // Once per pass: the link's own timers.
    virtual void tick() = 0;
    // True when it moved a queued packet into the pending frame.
    virtual bool popTx() = 0;
    // Builds at most one notification packet from the variable store.
    virtual void buildNotification() = 0;
};
// Installed before start_poller; without a link the received bytes are dropped.
void poller_set_link(PollerLink* link);

// The web server, which lives above this layer: started once when the board
// turns out to be standalone, stopped by stop_poller.
void poller_set_web_server(void (*start)(), void (*stop)());

// Every sleep of the poller thread and of poller_reboot (1 ms per pass,
// 100 ms after a failed load, 1 s after an SPI error); tests shorten them.
// Null restores usleep.
void poller_set_sleep(void (*sleep_ms)(int ms));

// The poller's values (one each, process-wide).
extern std::atomic<bool> pollerRunning;
extern std::atomic<int> fpgaStatusErrors;     // at 10 or more the FPGA is (re)loaded
extern std::atomic<int> tdm0_mode;            // 0 enables the E1 alarm scan
extern std::atomic<int> e1num[8];             // configuration word of E1 stream 1..8
extern std::atomic<uint32_t> e1AlarmBits;     // bit n-1: stream n, as last scanned
extern std::atomic<uint32_t> statusByteSnapshot;   // CAS burst status byte, ORed over a period
extern std::atomic<uint32_t> e1EventSnapshot;      // register 0x10D, ORed over a period
extern std::atomic<int> devclk;
// Read by start_poller before the thread starts; raw, as the control answer sends it.
extern uint8_t firmwareRevision[4];

// "<log level>,<log type>" and the log type, as read at start.
std::string poller_syslog_spec();
std::string poller_syslog_type();
void poller_set_syslog(const std::string& spec, const std::string& type);

// Tests: the poller's values back to their start values.
void poller_reset_state();
