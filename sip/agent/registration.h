// A registration: the last REGISTER sent, its period and its refresh.
#pragma once

#include <cstdint>

#include "sip/core/message.h"

namespace sipagent {

struct registration_t {
    int id = 0;
    sipcore::Message last;  // the last REGISTER sent; refreshes clone it
    int expires = 3600;     // what we ask for
    int period = 0;         // what the registrar granted, seconds
    int pending_tid = 0;    // REGISTER in flight
    int64_t sent_at = 0;
    int timer = 0;           // refresh or retry
    int auth_tries = 0;
    int stale_tries = 0;  // challenges that only renewed the nonce
    int min_expires_tries = 0;
    bool removing = false;        // the application dropped it: Expires 0 once, then forget
    bool remove_after_send = false;
};

// When to refresh a registration granted for period seconds, in ms after it was sent.
int64_t registration_refresh_delay_ms(int period_s);

}  // namespace sipagent
