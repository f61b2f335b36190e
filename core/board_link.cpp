#include "core/board_link.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/i2c_util.h"
#include "core/log.h"
#include "core/watchdog.h"

int board_phy_id = 0;
int sfp_last_read = -1;
int gemac_last_mode[2] = {-1, -1};

namespace {

constexpr int POE_ADDRESS = 0x20;
constexpr int SFP_EEPROM_ADDRESS = 0x50;
constexpr int SFP_PHY_ADDRESS = 0x56;
constexpr int BOARD_PHY = 13;
constexpr int MARVELL_OUI = 0x0141;
constexpr int SPEEDS[4] = {10, 100, 1000, 0};

board_link_media_t media{};

void sfp_configure_marvell(int revision)
{
    LOG(LOGF_GENERAL, 6, "SFP: Marvell Alaska 88E1111 rev %d detected", revision);
    // SGMII to copper, copper page, 100BASE-TX not advertised; register 0 resets the PHY with
    // auto-negotiation on.
    sfp_phy_write(27, 0x9084);
    sfp_phy_write(0, 0x9140);
    sfp_phy_write(22, 0x0000);
    sfp_phy_write(4, 0x0C61);
    sfp_phy_write(0, 0x9140);
}

// The SFP port's copper link must not settle on 100BASE-TX.
void sfp_configure_other()
{
    LOG(LOGF_GENERAL, 6, "SFP: phy detected");
    int advertised = i2c_read16(SFP_PHY_ADDRESS, 4);
    if (advertised < 0 || (advertised & 0x0180) == 0)
        return;
    sfp_phy_write(4, advertised & 0xFE7F);
    int control = i2c_read16(SFP_PHY_ADDRESS, 0);
    sfp_phy_write(0, control >= 0 ? control | 0x0200 : 0x1340);
    LOG(LOGF_GENERAL, 6, "SFP: 100Base-TX modes disabled");
}

void sfp_check()
{
    int r = i2c_read16(SFP_EEPROM_ADDRESS, 2);
    if (sfp_last_read < 0 && r >= 0) {
        LOG(LOGF_GENERAL, 6, "SFP module detected");
        int id1 = i2c_read16(SFP_PHY_ADDRESS, 2);
        int id2 = i2c_read16(SFP_PHY_ADDRESS, 3);
        if (id1 >= 0 && id2 >= 0 && id1 != 0xFFFF && id2 != 0xFFFF) {
            if (id1 == MARVELL_OUI && (id2 & 0xFFF0) == 0x0CC0)
                sfp_configure_marvell(id2 & 0xF);
            else
                sfp_configure_other();
        }
    }
    // A module pulled out makes this negative again, so the next one is handled anew.
    sfp_last_read = r;
}

void gemac_check(Watchdog* w, int port)
{
    int status = port;
    if (w->linkStatus(port, &status) < 0) {
        LOG(LOGF_GENERAL, 5, "ioctl(WDIOC_GETTEMP): %s", strerror(errno));
        return;
    }
    if (!(status & 0x8000))
        return;   // no valid link report
    int speed = (status >> 10) & 3;
    int duplex = (status >> 12) & 1;
    int mode = speed * 2 + duplex;
    if (mode == gemac_last_mode[port])
        return;
    LOG(LOGF_GENERAL, 6, "GEMAC%d: %d/%s", port, SPEEDS[speed], duplex ? "FD" : "HD");
    if (media.set_gemac_mode)
        media.set_gemac_mode(port, mode);
    gemac_last_mode[port] = mode;
}

}  // namespace

int i2c_read16(int address, int reg)
{
    uint8_t word[2] = {};
    bool opened;
    if (i2c_read_register(address, reg, word, 2, &opened) < 0)
        return -1;
    return word[0] << 8 | word[1];
}

void sfp_phy_write(int reg, int value)
{
    uint8_t bytes[3] = {static_cast<uint8_t>(reg), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value & 0xFF)};
    i2c_write_message(SFP_PHY_ADDRESS, bytes, 3);
}

void poe_reg_write(int reg, int value) { i2c_write(POE_ADDRESS, reg, value); }

void board_link_set_media(const board_link_media_t& m) { media = m; }

void board_link_init()
{
    poe_reg_write(0x13, 0xF0);
    poe_reg_write(0x12, 0xFF);
    poe_reg_write(0x14, 0xFF);
    board_phy_id = media.mdio_read ? media.mdio_read(BOARD_PHY, 2) : -1;
}

void board_link_housekeeping()
{
    if (board_phy_id != MARVELL_OUI)
        sfp_check();
    // Only reached after a kick, so the device is open; a test may have none.
    Watchdog* w = watchdog_device();
    if (!w)
        return;
    gemac_check(w, 0);
    gemac_check(w, 1);
}

void board_link_reset()
{
    board_phy_id = 0;
    sfp_last_read = -1;
    gemac_last_mode[0] = gemac_last_mode[1] = -1;
    media = {};
}
