// Arbitrary bytes from the chassis controller into the management link's
// deframer, cut into arbitrary pieces. Every packet handed on must hold type
// and id and fit the receive buffer; it is echoed as an answer, and every
// frame the link sends must be a well-escaped frame whose check holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/crc.h"
#include "core/log.h"
#include "mgmt/management_link.h"
#include "mgmt/my_snmp.h"

namespace {

// The link's answer cache asks the time: it stands still here.
uint32_t frozen_clock() { return 0; }

[[noreturn]] void fail(const char* what)
{
    fprintf(stderr, "mgmt_link_fuzz: %s\n", what);
    abort();
}

void echo(ManagementLink& link, const uint8_t* packet, int length)
{
    if (length < 2 || length > ManagementLink::rx_size - 1)
        fail("packet length out of range");
    if (packet[0] & 0x80)
        fail("an answer was handed on");
    MyVarIdList ids;
    ids.parse(packet + 2, length - 2);
    MyVarValueList values;
    values.parse(packet + 2, length - 2);
    std::string answer(reinterpret_cast<const char*>(packet), size_t(length > 1022 ? 1022 : length));
    answer[0] = char(uint8_t(answer[0]) | 0x80);
    link.queueAnswer(answer);
}

// Drains every queued packet through fillTx in pieces of `piece` bytes and
// checks each frame.
void drain(ManagementLink& link, int piece)
{
    std::string wire;
    while (link.popTx() || link.framePending()) {
        uint8_t out[2048];
        int n = link.fillTx(out, piece);
        if (n <= 0 || n > piece)
            fail("fillTx wrote nothing or too much");
        wire.append(reinterpret_cast<const char*>(out), size_t(n));
        if (link.framePending())
            continue;
        if (wire.empty() || uint8_t(wire.back()) != 0x7E)
            fail("frame without its closing flag");
        std::string plain;
        for (size_t i = 0; i + 1 < wire.size(); i++) {
            uint8_t b = uint8_t(wire[i]);
            if (b == 0x7E)
                fail("flag inside a frame");
            if (b == 0x7D) {
                if (++i + 1 >= wire.size())
                    fail("escape at the end of a frame");
                b = uint8_t(wire[i]) ^ 0x20;
                if (b != 0x7E && b != 0x7D)
                    fail("escaped byte that needs no escape");
            }
            plain += char(b);
        }
        uint8_t x = 0;
        uint16_t c16 = 0xFFFF;
        uint32_t c32 = 0xFFFFFFFF;
        for (char ch : plain) {
            x ^= uint8_t(ch);
            c16 = crc16_update(c16, uint8_t(ch));
            c32 = crc32_update(c32, uint8_t(ch));
        }
        if (plain.size() < 3 || (x != 0 && c16 != 0 && c32 != 0))
            fail("frame whose check does not hold");
        wire.clear();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    log_set_sink([](int, const char*) {});
    log_level = 7;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // the first byte cuts the rest into pieces and sizes the transmit room
    int cut = 1 + data[0] % 97;
    int room = 1 + data[0] % 13;
    ManagementLink link(echo);
    link.setClock(frozen_clock);
    for (size_t i = 1; i < size; i += size_t(cut)) {
        size_t n = size - i < size_t(cut) ? size - i : size_t(cut);
        link.receive(data + i, int(n));
        link.tick();
        drain(link, room);
    }
    return 0;
}
