#include "ua/codec_table.h"

#include <strings.h>

const CodecInfo codec_table[] = {
    {0, "PCMU", "PCMU/8000", nullptr, 0x01, nullptr},
    {3, "GSM", "GSM/8000", nullptr, 0x01, nullptr},
    {4, "G723", "G723/8000", nullptr, 0x09, "annexa"},
    {8, "PCMA", "PCMA/8000", nullptr, 0x01, nullptr},
    {9, "G722", "G722/8000", nullptr, 0x01, nullptr},
    {13, "CN", "CN/8000", nullptr, 0x08, nullptr},
    {15, "G728", "G728/8000", nullptr, 0x01, nullptr},
    {18, "G729", "G729/8000", nullptr, 0x09, "annexb"},
    {96, "G726-32", "G726-32/8000", nullptr, 0x01, nullptr},
    {97, "G726-16", "G726-16/8000", nullptr, 0x01, nullptr},
    {98, "PCMA", "PCMA/8000", nullptr, 0x10, nullptr},
    {99, "G726-24", "G726-24/8000", nullptr, 0x01, nullptr},
    {100, "G726-40", "G726-40/8000", nullptr, 0x01, nullptr},
    {101, "telephone-event", "telephone-event/8000", "0-15", 0x04, nullptr},
    {102, "iLBC", "iLBC/8000", "mode=30", 0x01, nullptr},
    {103, "GSM-EFR", "GSM-EFR/8000", nullptr, 0x01, nullptr},
    {104, "AMR", "AMR/8000", "mode-change-capability=2", 0x09, nullptr},
    {105, "GSM-HR-08", "GSM-HR-08/8000", nullptr, 0x29, "silencesupp"},
    {107, "EVRC", "EVRC/8000", nullptr, 0x2B, "silencesupp"},
    {108, "EVRC0", "EVRC0/8000", nullptr, 0x29, "silencesupp"},
    {109, "EVRCB", "EVRCB/8000", nullptr, 0x2B, "silencesupp"},
    {110, "EVRCB0", "EVRCB0/8000", nullptr, 0x29, "silencesupp"},
    {-1, nullptr, nullptr, nullptr, 0, nullptr},
};

const SrtpSuite srtp_suites[2] = {
    {"AES_CM_128_HMAC_SHA1_80", 10},
    {"AES_CM_128_HMAC_SHA1_32", 4},
};

const std::map<std::string, std::string> codec_alias_map = {
    {"G729a", "G729"},      {"G729b", "G729"},      {"G729ab", "G729"},     {"G.729", "G729"},
    {"G.729a", "G729"},     {"G.729b", "G729"},     {"G.729ab", "G729"},    {"G.722", "G722"},
    {"G.723", "G723"},      {"G.728", "G728"},      {"G.726-16", "G726-16"}, {"G.726-24", "G726-24"},
    {"G.726-32", "G726-32"}, {"G.726-40", "G726-40"},
};

const SrtpSuite* srtp_suite_find(const std::string& name)
{
    for (const auto& s : srtp_suites)
        if (strcasecmp(name.c_str(), s.name) == 0)
            return &s;
    return nullptr;
}
