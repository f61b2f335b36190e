// Board link housekeeping, done together with the watchdog kicks: an SFP
// module that is plugged in gets the copper PHY inside it configured, the
// speed and duplex the Ethernet driver reports for GEMAC0 and GEMAC1 reach
// the media processor, and at start-up the PoE controller is set up.
// Main thread only.
#pragma once

// The board's own PHY identifier (MDIO address 13, register 2), read at
// start-up. 0x0141: the board's second port is copper and has no SFP cage.
extern int board_phy_id;
// The last read of the SFP EEPROM; negative: no module.
extern int sfp_last_read;
// The last mode handed to the media processor per GEMAC port
// (speed index * 2 + duplex bit); -1 before the first.
extern int gemac_last_mode[2];

// The big-endian word at reg of the I2C device at address; negative on
// failure, with nothing logged (a missing SFP module is no error).
int i2c_read16(int address, int reg);
// A register of the PHY inside the SFP module.
void sfp_phy_write(int reg, int value);
// A register of the PoE controller.
void poe_reg_write(int reg, int value);

// What the housekeeping needs of the media processor. The layer that owns
// the media processor fills it in before board_link_init().
struct board_link_media_t {
    int (*mdio_read)(int phy, int reg);          // the value, or negative
    int (*set_gemac_mode)(int port, int mode);
};
void board_link_set_media(const board_link_media_t& media);

// Start-up: the PoE controller's registers, then the board PHY's identifier.
void board_link_init();
// After every watchdog kick that happened on its conditions: the SFP module,
// then GEMAC0 and GEMAC1.
void board_link_housekeeping();

// Tests: back to the state before start-up.
void board_link_reset();
