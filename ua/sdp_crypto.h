// SRTP keys in SDP crypto attributes (inline:key[|lifetime][|mki:length])
// and the random bytes new keys are made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

inline constexpr size_t SRTP_KEY_LENGTH = 30;  // master key and salt
inline constexpr uint64_t SRTP_DEFAULT_LIFETIME = uint64_t(1) << 48;

// True when the key parameters are valid: key gets the 30 decoded bytes;
// lifetime is written only when the parameters carry one, the MKI outs only
// when an MKI is present.
bool crypto_parse_key(const std::string& params, std::string& key, uint64_t& lifetime, int& mki_value,
                      int& mki_length);

// The value of a crypto attribute: tag, suite and key parameters, split at
// blanks (runs of blanks count as one). False when a piece is missing.
bool crypto_split(const char* value, std::string& tag, std::string& suite, std::string& params);

// "inline:" + Base64 of a 30-byte key.
std::string crypto_inline_key(const std::string& key);

// Fills len random bytes; false (after logging why) when it cannot.
using sdp_random_t = std::function<bool(uint8_t* buf, size_t len)>;

// Reads /dev/urandom.
bool sdp_random_urandom(uint8_t* buf, size_t len);
