#include "ua/sdp_origin.h"

uint32_t sdp_origin_version = 0;

uint32_t sdp_origin_next(sdp_session_t* session, bool offer)
{
    uint32_t version = 0;
    if (offer) {
        version = sdp_origin_version;
        if (session && session->sent && version <= session->version)
            version = session->version + 1;
        sdp_origin_version = version + 1;
    } else if (session && session->sent)
        version = session->version + 1;
    if (session) {
        session->sent = true;
        session->version = version;
    }
    return version;
}
