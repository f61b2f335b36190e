// Helpers over osip's SDP calls shared by the offer, the answer and the
// reading of answers.
#pragma once

#include <string>
#include <strings.h>
#include <osipparser2/osip_port.h>
#include <osipparser2/sdp_message.h>

#include "core/log.h"

// A copy osip frees with the message it is added to.
inline char* sdp_dup(const std::string& s) { return osip_strdup(s.c_str()); }

// A name compared as SDP compares them, without regard to case.
inline bool sdp_same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// True when osip's call returned 0; logs the failure otherwise.
inline bool sdp_check(int rc, const char* function)
{
    if (rc != 0)
        LOG(LOGF_GENERAL, 3, "%s(): error %d", function, rc);
    return rc == 0;
}

// True when media line m lists the payload name (e.g. "t38").
inline bool sdp_has_payload(sdp_message_t* sdp, int m, const char* name)
{
    for (int p = 0; const char* text = sdp_message_m_payload_get(sdp, m, p); p++)
        if (strcasecmp(text, name) == 0)
            return true;
    return false;
}
