#include "sim/fpga/fpga_simulator.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>

namespace {

// Registers the simulator gives a meaning to.
enum : unsigned {
    STATUS = 0x101,
    FIFO = 0x102,
    RX_LEVEL = 0x103,
    TX_LEVEL = 0x104,
    E1_ALARMS = 0x10B,
    CAS_A = 0x10C,
    E1_EVENTS = 0x10D,
    DEVCLK = 0x120,
    LINE_SIGNAL = 0x200,
    SLOT1 = 0x400,
    SLOT2 = 0x500,
};

// Slot window offsets of the line chip's indirect access: writing the
// address register starts a transaction (bit 7: read), the data register
// carries the byte, the done register's bit 0 says it finished.
constexpr unsigned WINDOW_ADDRESS = 1;
constexpr unsigned WINDOW_DATA = 9;
constexpr unsigned WINDOW_DONE = 10;

uint8_t reversed(uint8_t b)
{
    uint8_t r = 0;
    for (int bit = 0; bit < 8; bit++)
        if (b & (1 << bit))
            r |= static_cast<uint8_t>(0x80 >> bit);
    return r;
}

// The slot (0 or 1) whose window holds reg, or -1.
int slot_of(unsigned reg)
{
    if (reg >= SLOT1 && reg < SLOT1 + 0x100)
        return 0;
    if (reg >= SLOT2 && reg < SLOT2 + 0x100)
        return 1;
    return -1;
}

}  // namespace

class FpgaSimulator::Port : public SpiPort {
public:
    Port(FpgaSimulator& sim, std::unique_ptr<Connection> c) : sim_(sim), c_(std::move(c)) {}
    ~Port() override { sim_.closeConnection(*c_); }
    bool transfer(int length, const uint8_t* tx, uint8_t* rx) override
    {
        return sim_.transfer(*c_, length, tx, rx);
    }
    ssize_t write(const void* data, size_t length) override
    {
        return sim_.write(*c_, static_cast<const uint8_t*>(data), length);
    }

private:
    FpgaSimulator& sim_;
    std::unique_ptr<Connection> c_;
};

FpgaSimulator::FpgaSimulator() : start_(std::chrono::steady_clock::now()) {}

FpgaSimulator::~FpgaSimulator() { stop(); }

std::unique_ptr<SpiPort> FpgaSimulator::open(const std::string& path, int flags)
{
    auto c = connect();
    if (!openConnection(*c, path, flags))
        return nullptr;
    return std::make_unique<Port>(*this, std::move(c));
}

SpiOpener FpgaSimulator::opener()
{
    return [this](const std::string& path, int flags) { return open(path, flags); };
}

std::unique_ptr<FpgaSimulator::Connection> FpgaSimulator::connect() { return std::make_unique<Connection>(); }

std::vector<uint8_t> FpgaSimulator::handle(Connection& c, const uint8_t* m, size_t length)
{
    auto failed = [](int e) { return std::vector<uint8_t>{static_cast<uint8_t>(e ? e : EIO)}; };
    if (length == 0)
        return failed(EINVAL);
    switch (m[0]) {
    case spi_sim::OPEN: {
        if (c.opened_ || length < 3)
            return failed(EINVAL);
        std::string path(reinterpret_cast<const char*>(m + 2), length - 2);
        if (!openConnection(c, path, m[1] == 'w' ? O_WRONLY : O_RDWR))
            return failed(errno);
        return {0};
    }
    case spi_sim::TRANSFER: {
        if (!c.opened_ || length < 3)
            return failed(c.opened_ ? EINVAL : EBADF);
        int n = static_cast<int>(length - 2);
        std::vector<uint8_t> answer(1 + static_cast<size_t>(n));
        bool want = m[1] != 0;
        if (!transfer(c, n, m + 2, want ? answer.data() + 1 : nullptr))
            return failed(errno);
        if (!want)
            answer.resize(1);
        return answer;
    }
    case spi_sim::TRANSFERS: {
        if (!c.opened_ || length < 2)
            return failed(c.opened_ ? EINVAL : EBADF);
        // Checked whole before any transfer is done.
        size_t count = m[1], at = 2;
        for (size_t i = 0; i < count; i++) {
            if (at + 3 > length)
                return failed(EINVAL);
            size_t n = m[at + 1] | static_cast<size_t>(m[at + 2]) << 8;
            if (n == 0 || at + 3 + n > length)
                return failed(EINVAL);
            at += 3 + n;
        }
        if (count == 0 || at != length)
            return failed(EINVAL);
        std::vector<uint8_t> answer{0};
        at = 2;
        for (size_t i = 0; i < count; i++) {
            bool want = m[at] != 0;
            int n = m[at + 1] | m[at + 2] << 8;
            std::vector<uint8_t> rx(static_cast<size_t>(n));
            if (!transfer(c, n, m + at + 3, want ? rx.data() : nullptr)) {
                answer.push_back(static_cast<uint8_t>(errno ? errno : EIO));
            } else {
                answer.push_back(0);
                if (want)
                    answer.insert(answer.end(), rx.begin(), rx.end());
            }
            at += 3 + static_cast<size_t>(n);
        }
        return answer;
    }
    case spi_sim::WRITE: {
        if (!c.opened_)
            return failed(EBADF);
        ssize_t n = write(c, m + 1, length - 1);
        if (n < 0)
            return failed(errno);
        std::vector<uint8_t> answer(5, 0);
        uint32_t count = static_cast<uint32_t>(n);
        memcpy(answer.data() + 1, &count, 4);
        return answer;
    }
    case spi_sim::CLOSE:
        closeConnection(c);
        return {0};
    default:
        return failed(EINVAL);
    }
}

bool FpgaSimulator::openConnection(Connection& c, const std::string& path, int flags)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto f = openFaults_.find(path);
        f != openFaults_.end() && (f->second.accmode < 0 || f->second.accmode == (flags & O_ACCMODE))) {
        int err = f->second.err;
        if (--f->second.count == 0)
            openFaults_.erase(f);
        errno = err;
        return false;
    }
    bool write_only = (flags & O_ACCMODE) == O_WRONLY;
    if (path == REGISTER_DEVICE) {
        c.registers_ = !write_only;
        c.loader_ = write_only;
    } else if (path == RESET_DEVICE) {
        c.reset_ = true;
    } else {
        errno = ENOENT;
        return false;
    }
    c.opened_ = true;
    return true;
}

void FpgaSimulator::closeConnection(Connection& c)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!c.opened_)
        return;
    c.opened_ = false;
    if (!c.loader_ || c.load.writes.empty())
        return;
    FpgaSimLoad load = std::move(c.load);
    c.load = FpgaSimLoad{};
    load.resets_before = resetsSinceLoad_;
    // Configuration starts with a reset pulse and needs the whole stream.
    bool good = resetsSinceLoad_ > 0 && !load.bytes.empty() &&
                (!haveBitstream_ || load.bytes == expected_);
    if (failLoads_ > 0) {
        failLoads_--;
        good = false;
    }
    resetsSinceLoad_ = 0;
    load.configured = good;
    configured_ = good;
    loads_.push_back(std::move(load));
}

bool FpgaSimulator::transfer(Connection& c, int length, const uint8_t* tx, uint8_t* rx)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!c.opened_ || !c.registers_) {
        errno = EBADF;
        return false;
    }
    if (length < 2 || !tx) {
        errno = EINVAL;
        return false;
    }
    bool is_write = tx[0] & 0x80;
    unsigned reg = static_cast<unsigned>((tx[0] & 0x7F) << 8 | tx[1]);
    auto fault = faults_.find(static_cast<int>(reg));
    if (fault == faults_.end())
        fault = faults_.find(-1);
    if (fault != faults_.end()) {
        int err = fault->second.err;
        if (fault->second.count > 0 && --fault->second.count == 0)
            faults_.erase(fault);
        failed_++;
        errno = err;
        return false;
    }
    FpgaSimAccess a;
    a.seq = ++seq_;
    a.time_ms = now();
    a.write = is_write;
    a.reg = reg;
    a.length = length;
    if (is_write) {
        a.data.assign(tx + 2, tx + length);
        // An unconfigured FPGA takes nothing in.
        if (configured_)
            writeRegister(reg, tx + 2, length - 2);
        if (rx)
            memset(rx, 0, static_cast<size_t>(length));
        log(trace_, a);
        log(writes_, a);
        return true;
    }
    reads_[reg]++;
    std::vector<uint8_t> answer(static_cast<size_t>(length), 0);
    if (reg == STATUS && length >= 4) {
        answer[2] = static_cast<uint8_t>(address_);
        bool error = !configured_;
        if (!error && statusErrors_ > 0) {
            statusErrors_--;
            error = true;
        }
        answer[3] = error ? 1 : 0;
    } else if (configured_) {
        switch (reg) {
        case FIFO:
            for (int i = 2; i < length && !rxFifo_.empty(); i++) {
                answer[static_cast<size_t>(i)] = rxFifo_.front();
                rxFifo_.pop_front();
            }
            refillRx();
            break;
        case RX_LEVEL:
        case TX_LEVEL: {
            size_t level = reg == RX_LEVEL ? rxFifo_.size() : txFifo_.size();
            if (length >= 4) {
                answer[2] = static_cast<uint8_t>(level >> 8);
                answer[3] = static_cast<uint8_t>(level);
            }
            break;
        }
        case CAS_A:
            if (length >= 3)
                answer[2] = static_cast<uint8_t>(casStatus_);
            for (int i = 4; i < length && i < 36; i++)
                answer[static_cast<size_t>(i)] = cas_[i - 4];
            break;
        default:
            if (length >= 3)
                answer[2] = readRegister(reg);
            break;
        }
    }
    if (rx)
        memcpy(rx, answer.data(), answer.size());
    a.data.assign(answer.begin() + 2, answer.end());
    log(trace_, a);
    return true;
}

uint8_t FpgaSimulator::readRegister(unsigned reg)
{
    switch (reg) {
    case E1_ALARMS:
        return static_cast<uint8_t>(e1Alarms_);
    case E1_EVENTS:
        return static_cast<uint8_t>(e1Events_);
    case DEVCLK:
        return static_cast<uint8_t>(devclk_);
    default:
        break;
    }
    if (int slot = slot_of(reg); slot >= 0) {
        unsigned offset = reg & 0xFF;
        if (offset == 0)
            return static_cast<uint8_t>(moduleTypes_[slot]);
        if (offset == WINDOW_DONE)
            return 1;
        return window_[slot][offset];
    }
    auto r = registers_.find(reg);
    return r == registers_.end() ? 0 : r->second;
}

void FpgaSimulator::writeRegister(unsigned reg, const uint8_t* data, int n)
{
    if (n <= 0)
        return;
    if (reg == FIFO) {
        for (int i = 0; i < n && txFifo_.size() < TX_FIFO_SIZE; i++)
            txFifo_.push_back(data[i]);
        return;
    }
    uint8_t v = data[0];
    registers_[reg] = v;
    if (reg >= LINE_SIGNAL && reg < LINE_SIGNAL + 0x100) {
        FpgaSimPulse p;
        p.time_ms = now();
        p.timeslot = static_cast<int>(reg - LINE_SIGNAL);
        p.value = v >> 4;
        p.duration_ms = (v & 0x0F) * 8;
        pulses_.push_back(p);
        return;
    }
    if (int slot = slot_of(reg); slot >= 0) {
        unsigned offset = reg & 0xFF;
        window_[slot][offset] = v;
        if (offset == WINDOW_ADDRESS) {
            uint8_t address = v & 0x7F;
            if (v & 0x80)
                window_[slot][WINDOW_DATA] = chip_[slot][address];
            else
                chip_[slot][address] = window_[slot][WINDOW_DATA];
        }
    }
}

ssize_t FpgaSimulator::write(Connection& c, const uint8_t* data, size_t length)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!c.opened_) {
        errno = EBADF;
        return -1;
    }
    if (c.reset_) {
        // Any write is the pulse: the FPGA forgets its configuration.
        resets_++;
        resetsSinceLoad_++;
        configured_ = false;
        registers_.clear();
        rxFifo_.clear();
        txFifo_.clear();
        refillRx();
        return static_cast<ssize_t>(length);
    }
    if (!c.loader_) {
        errno = EINVAL;
        return -1;
    }
    c.load.bytes.insert(c.load.bytes.end(), data, data + length);
    c.load.writes.push_back(length);
    return static_cast<ssize_t>(length);
}

void FpgaSimulator::refillRx()
{
    while (!rxWaiting_.empty() && rxFifo_.size() < RX_FIFO_SIZE) {
        rxFifo_.push_back(rxWaiting_.front());
        rxWaiting_.pop_front();
    }
}

int64_t FpgaSimulator::now() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_)
        .count();
}

void FpgaSimulator::log(std::deque<FpgaSimAccess>& to, const FpgaSimAccess& a)
{
    if (to.size() >= LOG_LIMIT)
        to.pop_front();
    to.push_back(a);
}

void FpgaSimulator::setBoardAddress(int address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    address_ = address & 0xFF;
}

int FpgaSimulator::boardAddress()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return address_;
}

void FpgaSimulator::setModuleType(int slot, int type)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (slot == 1 || slot == 2)
        moduleTypes_[slot - 1] = type & 0xFF;
}

void FpgaSimulator::setE1Alarms(int bits)
{
    std::lock_guard<std::mutex> lock(mutex_);
    e1Alarms_ = bits & 0xFF;
}

void FpgaSimulator::setE1Events(int bits)
{
    std::lock_guard<std::mutex> lock(mutex_);
    e1Events_ = bits & 0xFF;
}

void FpgaSimulator::setDevclk(int value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devclk_ = value & 0xFF;
}

void FpgaSimulator::setCasStatus(int value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    casStatus_ = value & 0xFF;
}

void FpgaSimulator::setCasBit(int timeslot, bool on)
{
    if (timeslot < 0 || timeslot > 255)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    uint8_t bit = static_cast<uint8_t>(1 << (timeslot % 8));
    if (on)
        cas_[timeslot / 8] |= bit;
    else
        cas_[timeslot / 8] &= static_cast<uint8_t>(~bit);
}

bool FpgaSimulator::casBit(int timeslot)
{
    if (timeslot < 0 || timeslot > 255)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return cas_[timeslot / 8] & (1 << (timeslot % 8));
}

void FpgaSimulator::setChipRegister(int slot, int address, int value)
{
    if ((slot != 1 && slot != 2) || address < 0 || address > 127)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    chip_[slot - 1][address] = static_cast<uint8_t>(value);
}

int FpgaSimulator::chipRegister(int slot, int address)
{
    if ((slot != 1 && slot != 2) || address < 0 || address > 127)
        return -1;
    std::lock_guard<std::mutex> lock(mutex_);
    return chip_[slot - 1][address];
}

void FpgaSimulator::setBitstream(const std::vector<uint8_t>& file)
{
    std::lock_guard<std::mutex> lock(mutex_);
    expected_.clear();
    for (uint8_t b : file)
        expected_.push_back(reversed(b));
    haveBitstream_ = true;
}

void FpgaSimulator::failLoads(int count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failLoads_ = count;
}

void FpgaSimulator::setConfigured(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    configured_ = on;
}

bool FpgaSimulator::configured()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return configured_;
}

int FpgaSimulator::resetPulses()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return resets_;
}

std::vector<FpgaSimLoad> FpgaSimulator::loads()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return loads_;
}

void FpgaSimulator::failTransfers(int count, int err, int reg)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int key = reg < 0 ? -1 : reg;
    if (count == 0)
        faults_.erase(key);
    else
        faults_[key] = Fault{count, err};
}

void FpgaSimulator::failOpens(const std::string& path, int count, int err, int accmode)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (count != 0)
        openFaults_[path] = OpenFault{count, err, accmode};
    else
        openFaults_.erase(path);
}

void FpgaSimulator::setStatusErrors(int count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    statusErrors_ = count;
}

void FpgaSimulator::pushRx(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rxWaiting_.insert(rxWaiting_.end(), bytes.begin(), bytes.end());
    refillRx();
}

std::vector<uint8_t> FpgaSimulator::takeTx()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> out(txFifo_.begin(), txFifo_.end());
    txFifo_.clear();
    return out;
}

int FpgaSimulator::rxLevel()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(rxFifo_.size());
}

int FpgaSimulator::txLevel()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(txFifo_.size());
}

std::vector<FpgaSimAccess> FpgaSimulator::trace()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return {trace_.begin(), trace_.end()};
}

std::vector<FpgaSimAccess> FpgaSimulator::writes()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return {writes_.begin(), writes_.end()};
}

void FpgaSimulator::clearLogs()
{
    std::lock_guard<std::mutex> lock(mutex_);
    trace_.clear();
    writes_.clear();
    pulses_.clear();
}

int FpgaSimulator::reg(unsigned reg)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto r = registers_.find(reg);
    return r == registers_.end() ? -1 : r->second;
}

int FpgaSimulator::reads(unsigned reg)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto r = reads_.find(reg);
    return r == reads_.end() ? 0 : r->second;
}

uint64_t FpgaSimulator::transfers()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return seq_;
}

int FpgaSimulator::failedTransfers()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

std::vector<FpgaSimPulse> FpgaSimulator::pulses()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pulses_;
}
