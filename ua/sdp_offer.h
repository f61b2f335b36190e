// The SDP offer of a call: one codec line built from the channel's codecs
// list, with SRTP, T.38, alternative addresses and direction as asked.
#pragma once

#include <optional>
#include <string>

#include "ua/sdp_crypto.h"
#include "ua/sdp_media_address.h"
#include "ua/sdp_origin.h"

// channel: timeslot or virtual channel id; mode: null, a direction word or
// "t38"; suite and key (30 bytes) only to offer again the SRTP key a call
// already uses. Nothing when an osip step fails or SRTP is required and no
// key material could be made.
std::optional<std::string> sdp_build_offer(const sdp_local_t& local, int channel, const char* mode,
                                           const std::string& codecs, const std::string& suite,
                                           const std::string& key, const sdp_random_t& random,
                                           sdp_session_t* session = nullptr);
