// A channel's codecs list: payload numbers in order of preference, mixed
// with pseudo-codes for packet time, EVRC interleaving, T.38 and SRTP.
#pragma once

#include <string>
#include <vector>

enum : int {
    CODEC_LIST_CN = 13,
    CODEC_LIST_PTIME = 256,       // 256 + n: packet time 5 n ms (n up to 255)
    CODEC_LIST_INTERLEAVE = 768,  // 768 + n: EVRC interleaving limit n (n up to 7)
    CODEC_LIST_T38 = 991,
    CODEC_LIST_SRTP = 992,
    CODEC_LIST_SRTP_REQUIRED = 993,
};

inline const char* const CODEC_LIST_DEFAULT = "8 0 4 9 18 100 96 99 97 101 13 98";

// Decimal numbers separated by exactly one character; the list ends at the
// first position that is not a digit, so two separators in a row end it.
std::vector<int> codec_list_parse(const std::string& text);

// What the pseudo-codes of a list ask for; a later code overrides an earlier one of its kind.
struct codec_list_options_t {
    bool cn = false;               // 13 listed: silence suppression may be negotiated
    bool t38 = false;              // 991
    bool srtp = false;             // 992 or 993
    bool srtp_required = false;    // 993 (the later of 992 and 993 counts)
    int ptime = -1;                // ms, -1 none
    int interleave = -1;           // -1 none
};

codec_list_options_t codec_list_options(const std::vector<int>& numbers);

bool codec_list_has(const std::vector<int>& numbers, int value);
