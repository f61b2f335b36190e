#include "sim/i2c/i2c_simulator.h"

#include <cerrno>

namespace {

class SimBus : public I2cBus {
public:
    explicit SimBus(I2cSimulator* sim) : sim_(sim) {}
    int transfer(i2c_message_t* messages, int count) override { return sim_->transfer(messages, count); }

private:
    I2cSimulator* sim_;
};

}  // namespace

void I2cSimulator::Device::write(const uint8_t* data, int length)
{
    if (length == 0)
        return;
    if (kind == Bytes) {
        pointer = data[0];
        for (int i = 1; i < length; i++) {
            bytes[pointer] = data[i];
            pointer = (pointer + 1) & 0xFF;
        }
        return;
    }
    pointer = data[0] & 0x1F;
    for (int i = 1; i + 1 < length; i += 2) {
        words[pointer] = static_cast<uint16_t>(data[i] << 8 | data[i + 1]);
        pointer = (pointer + 1) & 0x1F;
    }
}

void I2cSimulator::Device::read(uint8_t* data, int length)
{
    for (int i = 0; i < length; i++) {
        if (kind == Bytes) {
            data[i] = bytes[pointer];
            pointer = (pointer + 1) & 0xFF;
        } else {
            data[i] = i % 2 == 0 ? words[pointer] >> 8 : words[pointer] & 0xFF;
            if (i % 2 == 1)
                pointer = (pointer + 1) & 0x1F;
        }
    }
}

I2cSimulator::I2cSimulator()
{
    phy.kind = Device::Words;
}

I2cSimulator::~I2cSimulator()
{
    if (installed)
        i2c_set_opener(nullptr);
}

void I2cSimulator::install()
{
    i2c_set_opener([this](const std::string&) { return open(); });
    std::lock_guard<std::mutex> lock(m);
    installed = true;
}

std::unique_ptr<I2cBus> I2cSimulator::open()
{
    std::lock_guard<std::mutex> lock(m);
    if (!bus_present) {
        errno = ENOENT;
        return nullptr;
    }
    return std::make_unique<SimBus>(this);
}

I2cSimulator::Device* I2cSimulator::device_locked(int address)
{
    Device* d = nullptr;
    switch (address) {
    case POE: d = &poe; break;
    case SFP_EEPROM: d = &eeprom[0]; break;
    case SFP_EEPROM_2: d = &eeprom[1]; break;
    case SFP_PHY: d = &phy; break;
    }
    return d && d->present ? d : nullptr;
}

int I2cSimulator::transfer(i2c_message_t* messages, int count)
{
    if (i2c_check_transfer(messages, count) < 0)
        return -1;
    std::lock_guard<std::mutex> lock(m);
    I2cSimTransfer t;
    for (int i = 0; i < count; i++) {
        const i2c_message_t& msg = messages[i];
        I2cSimMessage seen{msg.address, msg.flags, msg.length, {}};
        if (!(msg.flags & I2C_FLAG_RD))
            seen.written.assign(msg.data, msg.data + msg.length);
        t.messages.push_back(std::move(seen));
    }
    const I2cSimMessage& first = t.messages.front();
    int reg = !(first.flags & I2C_FLAG_RD) && first.length > 0 ? first.written[0] : -1;
    for (auto f = faults.begin(); f != faults.end(); ++f) {
        if (f->address == first.address && (f->reg < 0 || f->reg == reg)) {
            t.error = f->err;
            if (--f->count == 0)
                faults.erase(f);
            break;
        }
    }
    for (int i = 0; i < count && !t.error; i++) {
        Device* d = device_locked(messages[i].address);
        if (!d)
            t.error = ENXIO;
        else if (messages[i].flags & I2C_FLAG_RD)
            d->read(messages[i].data, messages[i].length);
        else
            d->write(messages[i].data, messages[i].length);
    }
    int error = t.error;
    log.push_back(std::move(t));
    if (error) {
        errno = error;
        return -1;
    }
    return count;
}

void I2cSimulator::setBusPresent(bool present)
{
    std::lock_guard<std::mutex> lock(m);
    bus_present = present;
}

void I2cSimulator::setModulePresent(bool present)
{
    std::lock_guard<std::mutex> lock(m);
    eeprom[0].present = eeprom[1].present = phy.present = present;
}

void I2cSimulator::setPoeRegister(int reg, uint8_t value)
{
    std::lock_guard<std::mutex> lock(m);
    poe.bytes[reg & 0xFF] = value;
}

uint8_t I2cSimulator::poeRegister(int reg) const
{
    std::lock_guard<std::mutex> lock(m);
    return poe.bytes[reg & 0xFF];
}

void I2cSimulator::setEeprom(int page, int offset, const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(m);
    for (size_t i = 0; i < bytes.size(); i++)
        eeprom[page & 1].bytes[(offset + i) & 0xFF] = bytes[i];
}

void I2cSimulator::setPhyRegister(int reg, uint16_t value)
{
    std::lock_guard<std::mutex> lock(m);
    phy.words[reg & 0x1F] = value;
}

uint16_t I2cSimulator::phyRegister(int reg) const
{
    std::lock_guard<std::mutex> lock(m);
    return phy.words[reg & 0x1F];
}

void I2cSimulator::failNext(int address, int count, int reg, int err)
{
    std::lock_guard<std::mutex> lock(m);
    if (count > 0)
        faults.push_back({address, reg, err, count});
}

std::vector<I2cSimTransfer> I2cSimulator::transfers() const
{
    std::lock_guard<std::mutex> lock(m);
    return log;
}

size_t I2cSimulator::transferCount(int address) const
{
    std::lock_guard<std::mutex> lock(m);
    size_t n = 0;
    for (const auto& t : log)
        n += t.messages.front().address == address;
    return n;
}

std::vector<std::vector<uint8_t>> I2cSimulator::writes(int address) const
{
    std::lock_guard<std::mutex> lock(m);
    std::vector<std::vector<uint8_t>> out;
    for (const auto& t : log)
        for (const auto& msg : t.messages)
            if (!t.error && msg.address == address && !(msg.flags & I2C_FLAG_RD) && msg.length > 1)
                out.push_back(msg.written);
    return out;
}

void I2cSimulator::clearLog()
{
    std::lock_guard<std::mutex> lock(m);
    log.clear();
}
