#include "mgmt/poller.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

#include "core/channel_event.h"
#include "core/i2c_util.h"
#include "core/if_inet6.h"
#include "core/log.h"
#include "core/main_thread.h"
#include "core/netif.h"
#include "core/reg_sync.h"
#include "core/watchdog.h"
#include "mgmt/device_settings.h"
#include "mgmt/fpga.h"
#include "mgmt/module.h"
#include "mgmt/network_settings.h"
#include "mgmt/pinger.h"
#include "mgmt/standalone.h"
#include "mgmt/var_store.h"
#include "mgmt/var_table.h"
#include "platform/command.h"
#include "platform/paths.h"

std::atomic<bool> pollerRunning{true};
std::atomic<int> fpgaStatusErrors{10};
std::atomic<int> tdm0_mode{1};
std::atomic<int> e1num[8] = {};
std::atomic<uint32_t> e1AlarmBits{0};
std::atomic<uint32_t> statusByteSnapshot{0};
std::atomic<uint32_t> e1EventSnapshot{0};
std::atomic<int> devclk{0};
uint8_t firmwareRevision[4] = {};

std::atomic<Module*> moduleTable[2] = {};
std::atomic<int> moduleSlotTypes[2] = {MODULE_NONE, MODULE_NONE};

namespace {

constexpr int STANDALONE_ADDRESS = 31;
constexpr int RELOAD_ERRORS = 10;
constexpr int CAS_SCAN_PERIOD = 128;     // passes
constexpr int SUPERVISION_PERIOD = 1000; // passes

// Bit t % 32 of word t / 32 is timeslot t. The mask is written by the main
// thread, the snapshot by the poller thread; both are read word by word.
std::atomic<uint32_t> casActivityMask[8] = {};
std::atomic<uint32_t> casSnapshot[8] = {};

// Written by the poller thread only; published at each supervision step.
uint32_t statusByteLatch = 0;
uint32_t e1EventLatch = 0;

std::atomic<PollerLink*> pollerLink{nullptr};
std::atomic<void (*)()> web_start{nullptr};
std::atomic<void (*)()> web_stop{nullptr};

void default_sleep(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }
std::atomic<void (*)(int)> sleep_fn{default_sleep};
void pause_ms(int ms) { sleep_fn.load()(ms); }

std::mutex syslog_mutex;
std::string syslogSpec, syslogType;   // guarded by syslog_mutex

pthread_t poller_tid;
bool thread_started = false;   // start_poller and stop_poller only (main thread)

struct LinkLocal {
    bool saved = false;
    in6_addr address{};
    int prefix = 64;
} linkLocal;   // written by start_poller before the thread starts

// State of the running thread.
struct PassState {
    int lastAddress = -1;
    int passCount = 0;
};

void spi_error() { LOG(LOGF_BOARD, 3, "SPI transfer error: %s", strerror(errno)); }

void log_module(int slot, int type)
{
    const char* name = nullptr;
    switch (type) {
    case MODULE_R485: name = "R485"; break;
    case MODULE_FO01: name = "FO01"; break;
    case MODULE_R232: name = "R232"; break;
    case MODULE_FS01: name = "FS01"; break;
    case MODULE_EM01: name = "EM01"; break;
    case MODULE_R422: name = "R422"; break;
    case MODULE_NONE:
        LOG(LOGF_BOARD, 6, "no module %d detected", slot);
        return;
    default:
        LOG(LOGF_BOARD, 6, "mofule %d: unknown module found (type=%d)", slot, type);
        return;
    }
    LOG(LOGF_BOARD, 6, "mofule %d: %s found", slot, name);
}

// The CAS-A burst as eight words; false after logging a failed transfer.
bool read_cas(uint32_t words[8], uint8_t* status)
{
    uint8_t burst[FPGA_CAS_BURST];
    if (fpga_read_cas_bits(burst) < 0)
        return false;
    for (int w = 0; w < 8; w++) {
        const uint8_t* b = burst + 4 + 4 * w;
        words[w] = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    }
    *status = burst[2];
    return true;
}

// Loads the FPGA while the status reads say it is not running. False when
// the pass must end (failed load, or the thread is told to stop).
bool load_fpga()
{
    while (fpgaStatusErrors.load() >= RELOAD_ERRORS) {
        LOG(LOGF_BOARD, 3, "Configuring FPGA...");
        resetFPGA();
        std::string err;
        if (loadFPGA(FPGA_BITSTREAM, err) < 0) {
            LOG(LOGF_BOARD, 3, "FPGA configuration error: %s", err.c_str());
            pause_ms(100);
            return false;
        }
        LOG(LOGF_BOARD, 6, "FPGA configured successfully");

        // Whatever the receive FIFO held belongs to the FPGA before the load.
        uint8_t tx[2 + FPGA_FIFO_BURST] = {}, rx[2 + FPGA_FIFO_BURST];
        fpga_address(tx, FPGA_FIFO, false);
        if (!fpgaSpi.transfer(sizeof tx, tx, rx)) {
            spi_error();
            pause_ms(100);
        }

        fpga_write_reg(FPGA_FIFO, 0x7E);   // one frame flag opens the link's first frame
        fpga_write_reg(FPGA_TDM0_MODE, tdm0_mode.load());
        fpga_write_reg(FPGA_START, 0);
        for (unsigned r = FPGA_E1_INIT; r < FPGA_E1_INIT + 8; r++)
            fpga_write_reg(r, 0x1F);
        for (unsigned i = 0; i < 8; i++)
            fpga_write_reg(FPGA_E1NUM + i, e1num[i].load());
        // A reloaded FPGA has forgotten its mode: give back what was set.
        for (unsigned r : {FPGA_MODE, FPGA_MASTER_CLOCK, FPGA_MASTER_BIT1})
            if (int v = fpga_mode_register(r); v >= 0)
                fpga_write_reg(r, v);

        uint32_t words[8];
        uint8_t status;
        if (read_cas(words, &status))
            for (int w = 0; w < 8; w++)
                casSnapshot[w].store(words[w]);

        for (int slot = 0; slot < 2; slot++) {
            int type = fpga_read_reg(slot == 0 ? FPGA_MODULE_SLOT1 : FPGA_MODULE_SLOT2);
            moduleSlotTypes[slot].store(type);
            log_module(slot + 1, type);
        }
        fpgaStatusErrors.store(0);
        if (!pollerRunning.load())
            return false;
    }
    return true;
}

// The status and the receive FIFO's level of one pass, read in one batch:
// every pass reads both.
struct PassReads {
    uint8_t statusTx[4] = {}, status[4] = {};
    uint8_t levelTx[4] = {}, level[4] = {};
    SpiTransfer batch[2];
};

void read_pass(PassReads& r)
{
    fpga_address(r.statusTx, FPGA_STATUS, false);
    fpga_address(r.levelTx, FPGA_RX_LEVEL, false);
    r.batch[0] = {4, r.statusTx, r.status};
    r.batch[1] = {4, r.levelTx, r.level};
    fpgaSpi.transfers(r.batch, 2);
}

// False after logging with the transfer's errno.
bool transfer_ok(const SpiTransfer& t)
{
    if (t.ok)
        return true;
    errno = t.error;
    spi_error();
    return false;
}

void read_status(PassState& st, const PassReads& reads)
{
    if (!transfer_ok(reads.batch[0])) {
        pause_ms(1000);
        return;
    }
    const uint8_t* rx = reads.status;
    if (rx[3] != 0) {
        fpgaStatusErrors.fetch_add(1);
        return;
    }
    fpgaStatusErrors.store(0);
    int address = rx[2];
    if (address != st.lastAddress) {
        LOG(LOGF_BOARD, 6, "board address is %d", address);
        st.lastAddress = address;
    }
    if (address == STANDALONE_ADDRESS && !standaloneMode.load()) {
        enter_standalone_mode();
        if (void (*start)() = web_start.load())
            start();
    }
}

void serve_rx_fifo(PollerLink* l, const PassReads& reads)
{
    if (!transfer_ok(reads.batch[1])) {
        pause_ms(1000);
        return;
    }
    poller_alive.store(true);
    int level = (reads.level[2] & 3) << 8 | reads.level[3];
    if (level == 0)
        return;
    int n = level < FPGA_FIFO_BURST ? level : FPGA_FIFO_BURST;
    uint8_t tx[2 + FPGA_FIFO_BURST] = {}, rx[2 + FPGA_FIFO_BURST] = {};
    fpga_address(tx, FPGA_FIFO, false);
    if (!fpgaSpi.transfer(n + 2, tx, rx)) {
        spi_error();
        pause_ms(1000);
        return;
    }
    if (l)
        l->receive(rx + 2, n);
}

void serve_tx_fifo(PollerLink* l)
{
    if (!l || !l->framePending())
        return;
    uint8_t tx[4] = {}, rx[4] = {};
    fpga_address(tx, FPGA_TX_LEVEL, false);
    if (!fpgaSpi.transfer(4, tx, rx)) {
        spi_error();
        pause_ms(1000);
        return;
    }
    int level = (rx[2] & 1) << 8 | rx[3];
    int space = FPGA_TX_FIFO_SIZE - level;
    if (space <= 0 || !l->framePending())
        return;
    uint8_t out[2 + FPGA_TX_FIFO_SIZE];
    int n = l->fillTx(out + 2, space);
    if (n <= 0)
        return;
    if (n > space)
        n = space;
    fpga_address(out, FPGA_FIFO, true);
    if (!fpgaSpi.transfer(n + 2, out, nullptr)) {
        spi_error();
        pause_ms(1000);
    }
}

// A stream whose configuration word has bit 0x20, or a low part below 4,
// never reports its alarm.
bool stream_silenced(int i)
{
    int word = e1num[i].load();
    return (word & 0x20) || (word & 0x1F) < 4;
}

void scan_e1_alarms()
{
    uint32_t bits = 0;
    if (tdm0_mode.load() == 0) {
        int v = fpga_read_reg(FPGA_E1_ALARMS);
        if (v < 0) {
            // A failed read tells nothing about the alarms: keep them.
            pause_ms(1000);
            return;
        }
        bits = static_cast<uint32_t>(v);
        for (int i = 0; i < 8; i++)
            if (stream_silenced(i))
                bits &= ~(1u << i);
    }
    uint32_t changed = bits ^ e1AlarmBits.exchange(bits);
    for (int i = 0; i < 8; i++) {
        if (!(changed & (1u << i)))
            continue;
        char id[32];
        snprintf(id, sizeof id, ".14.%d.2.0", i + 1);
        poller_set_alarm(id, (bits >> i) & 1);
    }
}

void scan_cas()
{
    uint32_t words[8];
    uint8_t status;
    if (!read_cas(words, &status)) {
        pause_ms(1000);
        return;
    }
    for (int w = 0; w < 8; w++) {
        uint32_t wanted = (casSnapshot[w].load() ^ words[w]) & casActivityMask[w].load();
        for (int bit = 0; bit < 32; bit++) {
            if (!(wanted & (1u << bit)))
                continue;
            int data = static_cast<int>(words[w] & (1u << bit));
            postEvent(w * 32 + bit, new channel_event_t(w * 32 + bit, EV_CAS_A_ACTIVITY, data));
        }
    }
    // Unwatched changes are taken too: watching later replays nothing.
    for (int w = 0; w < 8; w++)
        casSnapshot[w].store(words[w]);
    statusByteLatch |= status;
    if (int events = fpga_read_reg(FPGA_E1_EVENTS); events >= 0)
        e1EventLatch |= static_cast<uint32_t>(events);
    if (int clock = fpga_read_reg(FPGA_DEVCLK); clock >= 0)
        devclk.store(clock);
}

// True when the next pass is due at once (a new NTP client).
bool supervise()
{
    statusByteSnapshot.store(statusByteLatch);
    uint32_t events = e1EventLatch;
    for (int i = 0; i < 8; i++)
        if (e1num[i].load() & 0x20)
            events &= ~(1u << i);
    e1EventSnapshot.store(events);
    statusByteLatch = 0;
    e1EventLatch = 0;
    return supervise_network_children(device_setting(&DeviceSettings::ntpServer));
}

void pass(PassState& st)
{
    if (child_exit_pending())
        child_supervision_service(pollerRunning.load());
    if (!load_fpga())
        return;
    PassReads reads;
    read_pass(reads);
    read_status(st, reads);
    PollerLink* l = pollerLink.load();
    serve_rx_fifo(l, reads);
    serve_tx_fifo(l);
    scan_e1_alarms();
    for (auto& slot : moduleTable)
        if (Module* m = slot.load())
            m->poll();
    if (l) {
        l->tick();
        // A fresh packet goes out at once: no sleep, not counted.
        if (l->popTx())
            return;
        if (!l->framePending())
            l->buildNotification();
    }
    if (st.passCount % CAS_SCAN_PERIOD == 0) {
        scan_cas();
        pinger_poll();
    }
    pause_ms(1);
    if (++st.passCount > SUPERVISION_PERIOD) {
        supervise();
        st.passCount = 0;
    }
}

void* poller_thread(void*)
{
    if (!fpgaSpi.isOpen()) {
        LOG(LOGF_GENERAL, 3, "cannot open /dev/spidev0.2");
        return nullptr;
    }
    pinger_create();
    PassState st;
    try {
        while (pollerRunning.load())
            pass(st);
    } catch (const std::exception& e) {
        LOG(LOGF_GENERAL, 3, "exception '%s' caught in poller thread", e.what());
    } catch (...) {
        LOG(LOGF_GENERAL, 3, "unknown exception caught in poller thread");
    }
    pinger_delete();
    return nullptr;
}

void save_link_local()
{
    linkLocal.saved = false;
    int prefix = 64;
    if (get_link_local_ipv6(&linkLocal.address, "eth0", &prefix)) {
        linkLocal.prefix = prefix;
        linkLocal.saved = true;
        return;
    }
    // None yet: the one the kernel would form from the MAC (EUI-64).
    uint8_t mac[6];
    if (get_if_hwaddr("eth0", mac) < 0)
        return;
    uint8_t* a = linkLocal.address.s6_addr;
    memset(a, 0, 16);
    a[0] = 0xFE;
    a[1] = 0x80;
    a[8] = mac[0] | 0x02;
    a[9] = mac[1];
    a[10] = mac[2];
    a[11] = 0xFF;
    a[12] = 0xFE;
    a[13] = mac[3];
    a[14] = mac[4];
    a[15] = mac[5];
    linkLocal.prefix = 64;
    linkLocal.saved = true;
}

void read_firmware_revision()
{
    int fd = open(platform_path("/dev/mtdblock0").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        LOG(LOGF_GENERAL, 3, "start_poller(): cannot open /dev/mtdblock0: %s", strerror(errno));
        return;
    }
    off_t at = lseek(fd, 40, SEEK_SET);
    if (at < 0)
        LOG(LOGF_GENERAL, 3, "start_poller(): lseek error: %s", strerror(errno));
    else if (at != 40)
        LOG(LOGF_GENERAL, 3, "start_poller(): lseek returns %ld (expected %ld)", long(at), 40L);
    else {
        uint8_t bytes[4];
        ssize_t n = read(fd, bytes, sizeof bytes);
        if (n != static_cast<ssize_t>(sizeof bytes))
            LOG(LOGF_GENERAL, 3, "start_poller(): error reading /dev/mtdblock0: %s",
                n < 0 ? strerror(errno) : "short read");
        else {
            memcpy(firmwareRevision, bytes, sizeof bytes);
            uint32_t native;
            memcpy(&native, bytes, sizeof native);
            LOG(LOGF_GENERAL, 6, "firmware revision: %lu", static_cast<unsigned long>(native));
        }
    }
    close(fd);
}

void read_log_settings()
{
    std::string type = "circular";
    if (FILE* f = fopen(platform_path("/etc/config/system").c_str(), "r")) {
        char line[512];
        while (fgets(line, sizeof line, f)) {
            const char* at = strstr(line, "log_type");
            if (!at)
                continue;
            at += strlen("log_type");
            at += strspn(at, " \t");
            type.assign(at, strcspn(at, "\r\n"));
        }
        fclose(f);
    }
    poller_set_syslog(std::to_string(log_level.load()) + "," + type, type);
}

}  // namespace

void poller_set_link(PollerLink* l) { pollerLink.store(l); }

void poller_set_web_server(void (*start)(), void (*stop)())
{
    web_start.store(start);
    web_stop.store(stop);
}

void poller_set_sleep(void (*sleep_ms)(int)) { sleep_fn.store(sleep_ms ? sleep_ms : default_sleep); }

std::string poller_syslog_spec()
{
    std::lock_guard<std::mutex> lock(syslog_mutex);
    return syslogSpec;
}

std::string poller_syslog_type()
{
    std::lock_guard<std::mutex> lock(syslog_mutex);
    return syslogType;
}

void poller_set_syslog(const std::string& spec, const std::string& type)
{
    std::lock_guard<std::mutex> lock(syslog_mutex);
    syslogSpec = spec;
    syslogType = type;
}

bool start_poller()
{
    var_table_init();
    save_link_local();
    read_firmware_revision();
    read_log_settings();
    if (install_sigchld_handler() != 0)
        perror("signal");

    pollerRunning.store(true);
    pthread_attr_t attr;
    pthread_attr_t* with = &attr;
    int r = pthread_attr_init(&attr);
    if (r != 0) {
        LOG(LOGF_GENERAL, 3, "pthread_attr_init() error: %d", r);
        with = nullptr;
    } else if ((r = pthread_attr_setstacksize(&attr, 1048576)) != 0)
        LOG(LOGF_GENERAL, 3, "pthread_attr_setstacksize() error: %d", r);
    r = pthread_create(&poller_tid, with, poller_thread, nullptr);
    if (with)
        pthread_attr_destroy(&attr);
    if (r != 0) {
        LOG(LOGF_GENERAL, 3, "cannot create polling thread: error %d", r);
        return false;
    }
    thread_started = true;
    return true;
}

void stop_poller()
{
    pollerRunning.store(false);
    if (void (*stop)() = web_stop.load())
        stop();
    if (thread_started) {
        pthread_join(poller_tid, nullptr);
        thread_started = false;
    }
    stop_network_children();
    if (poller_restore_link_local() < 0)
        LOG(LOGF_SYSTEM, 3, "cannot set link-local address on eth0: %s", strerror(errno));
}

void poller_reboot()
{
    // The registrations are written before the board goes down.
    regsync_request_save();
    pause_ms(1000);
    run_program("/sbin/reboot", {"reboot"});
}

void poller_set_cas_activity_flag(int timeslot)
{
    if (!on_main_thread()) {
        LOG(LOGF_BOARD, 3, "poller_set_cas_activity_flag() called not from main thread!");
        return;
    }
    if (timeslot < 0 || timeslot > 255) {
        LOG(LOGF_BOARD, 3, "poller_set_cas_activity_flag(): invalid timeslot %d", timeslot);
        return;
    }
    casActivityMask[timeslot / 32].fetch_or(1u << (timeslot % 32));
}

void poller_clear_cas_activity_flag(int timeslot)
{
    if (!on_main_thread()) {
        LOG(LOGF_BOARD, 3, "poller_clear_cas_activity_flag() called not from main thread!");
        return;
    }
    if (timeslot < 0 || timeslot > 255) {
        LOG(LOGF_BOARD, 3, "poller_clear_cas_activity_flag(): invalid timeslot %d", timeslot);
        return;
    }
    casActivityMask[timeslot / 32].fetch_and(~(1u << (timeslot % 32)));
}

int poller_get_cas_a(int timeslot)
{
    if (timeslot < 0 || timeslot > 255) {
        LOG(LOGF_BOARD, 3, "poller_get_cas_a(): invalid timeslot %d", timeslot);
        return -1;
    }
    return static_cast<int>(casSnapshot[timeslot / 32].load() & (1u << (timeslot % 32)));
}

void finish_alarm_test(void*) { fpga_write_reg(FPGA_RELAY, 0); }

void finish_poe_reset(void*) { i2c_write(POE_CONTROLLER, 20, 0xFF); }

int poller_restore_link_local()
{
    if (!linkLocal.saved || set_if_addr6("eth0", &linkLocal.address, linkLocal.prefix) == 0)
        return 0;
    return errno == EEXIST ? 0 : -1;
}

void poller_reset_state()
{
    pollerRunning.store(true);
    fpgaStatusErrors.store(RELOAD_ERRORS);
    tdm0_mode.store(1);
    for (auto& w : e1num)
        w.store(0);
    e1AlarmBits.store(0);
    statusByteSnapshot.store(0);
    e1EventSnapshot.store(0);
    devclk.store(0);
    for (int w = 0; w < 8; w++) {
        casActivityMask[w].store(0);
        casSnapshot[w].store(0);
    }
    statusByteLatch = 0;
    e1EventLatch = 0;
    for (int s = 0; s < 2; s++) {
        moduleTable[s].store(nullptr);
        moduleSlotTypes[s].store(MODULE_NONE);
    }
    fpga_forget_mode_registers();
    poller_alive.store(false);
    standaloneMode.store(false);
}
