// Reading m= lines and their attributes out of an osip SDP message; every
// getter copes with the fields a remote SDP leaves out.
#pragma once

#include <osipparser2/sdp_message.h>

#include <string>

// Number of m= lines.
int sdp_media_count(sdp_message_t* sdp);

// Text of an m= line field, "" when absent.
std::string sdp_media_name(sdp_message_t* sdp, int m);
std::string sdp_media_port(sdp_message_t* sdp, int m);
std::string sdp_media_proto(sdp_message_t* sdp, int m);

// Field name and value of attribute i of an m= line; false past the last.
bool sdp_attribute_at(sdp_message_t* sdp, int m, int i, const char*& field, const char*& value);

// Value of the first attribute named field (case-blind) of an m= line; null when none.
const char* sdp_attribute_find(sdp_message_t* sdp, int m, const char* field);

// For the first attribute named field (case-blind) whose value starts with
// the payload number as a whole word, the text after the number and one
// separator; null when none.
const char* sdp_payload_attribute(sdp_message_t* sdp, int m, const char* field, int payload);

// A payload of an m= line as an RTP payload number (0..127); -1 otherwise.
int sdp_payload_number(const char* text);

// Whole decimal text within [lo, hi].
bool sdp_parse_int(const std::string& text, long lo, long hi, long& out);

// Leading decimal digits (strtol-like, saturating), 0 without any.
long sdp_leading_int(const char* text);
