#include "daemon/create_channel.h"

#include <cstring>
#include <exception>
#include <string>

#include "core/channel_table.h"
#include "core/log.h"
#include "lines/line_channels.h"
#include "services/service_channels.h"
#include "trunks/trunk_channels.h"

namespace {

AbstractChannel* make_FXS(int ts, const std::string&) { return new_FXSChannel(ts); }
AbstractChannel* make_FS01(int ts, const std::string&) { return new_FS01Channel(ts); }
AbstractChannel* make_FXO(int ts, const std::string&) { return new_FXOChannel(ts); }
AbstractChannel* make_FO01(int ts, const std::string&) { return new_FO01Channel(ts); }
AbstractChannel* make_IND(int ts, const std::string&) { return new_INDChannel(ts); }
AbstractChannel* make_R15(int ts, const std::string&) { return new_R15Channel(ts); }
AbstractChannel* make_MFCR2(int ts, const std::string&) { return new_MFCR2Channel(ts); }
AbstractChannel* make_R2Dtmf(int ts, const std::string&) { return new_R2DtmfChannel(ts); }
AbstractChannel* make_PPS(int ts, const std::string&) { return new_PPSChannel(ts); }
AbstractChannel* make_ADASE(int ts, const std::string&) { return new_ADASEChannel(ts); }
AbstractChannel* make_MB(int ts, const std::string&) { return new_MBChannel(ts); }
AbstractChannel* make_EM(int ts, const std::string&) { return new_EMChannel(ts); }
AbstractChannel* make_SL(int ts, const std::string&) { return new_SLChannel(ts); }
AbstractChannel* make_Data(int ts, const std::string& type) { return new_DataChannel(ts, type); }
AbstractChannel* make_DS(int ts, const std::string&) { return new_DSChannel(ts); }
AbstractChannel* make_SS7lnk(int ts, const std::string&) { return new_SS7lnk(ts); }
AbstractChannel* make_SS7(int ts, const std::string&) { return new_SS7(ts); }
AbstractChannel* make_TUNTAP(int ts, const std::string&) { return new_TUNTAP(ts); }
AbstractChannel* make_RTP(int ts, const std::string&) { return new_RTPStream(ts); }
AbstractChannel* make_DEFLECTOR(int ts, const std::string&) { return new_DEFLECTOR(ts); }
AbstractChannel* make_PRI(int ts, const std::string&) { return new_PRI(ts); }

// Compared in this order, byte for byte; the Cyrillic names are UTF-8.
const channel_type_t daemon_types[] = {
    {"FXS", make_FXS},
    {"FS01", make_FS01},
    {"FXO", make_FXO},
    {"FO01", make_FO01},
    {"1IND", make_IND},
    {"R1.5", make_R15},
    {"R2", make_MFCR2},
    {"R2DTMF", make_R2Dtmf},
    {"PPS", make_PPS},
    {"\xD0\x90\xD0\x94\xD0\x90\xD0\xA1\xD0\xAD", make_ADASE},  // АДАСЭ
    {"\xD0\x9C\xD0\x91", make_MB},                              // МБ
    {"EM", make_EM},
    {"SL", make_SL},
    {"R232", make_Data},
    {"R422", make_Data},
    {"R485", make_Data},
    {"DS", make_DS},
    {"SS7lnk", make_SS7lnk},
    {"SS7", make_SS7},
    {"TAP", make_TUNTAP},
    {"RTP", make_RTP},
    {"DEFLECTOR", make_DEFLECTOR},
    {"PRI", make_PRI},
};

void store(int ts, AbstractChannel* ch)
{
    MutexLock lock(channel_table_mutex);
    channel_table[ts] = ch;
}

void remove(int ts)
{
    AbstractChannel* ch;
    {
        MutexLock lock(channel_table_mutex);
        ch = channel_table[ts];
        channel_table[ts] = nullptr;
    }
    delete ch;
}

bool has_type(const AbstractChannel* ch, const char* type)
{
    const char* name = ch->getTypeName();
    return name && strcmp(name, type) == 0;
}

// A constructor that fails leaves the slot empty; false tells the caller to stop.
bool construct(int t, const channel_type_t& row, const std::string& type, int ts)
{
    try {
        store(t, row.make(t, type));
        return true;
    } catch (const std::exception& e) {
        LOG(LOGF_SYSTEM, 3, "error creating channel %d: %s", ts + 1, e.what());
    } catch (...) {
        LOG(LOGF_SYSTEM, 3, "error creating channel %d", ts + 1);
    }
    return false;
}

void create(JsonEvent_t* event)
{
    int ts = event->channel;
    int span = ts & ~31;
    JsonValue& settings = event->value;
    AbstractChannel* current = channel_table[ts];

    if (settings.kind == JSON_HASH && settings.members.empty()) {
        if (!current)
            return;
        if (has_type(current, "PRI")) {
            // Only the span's D-channel slot takes the whole span down; the
            // other B-channels get the event.
            if ((ts & 31) == 16)
                for (int t = span + 1; t <= span + 31; t++)
                    remove(t);
            return;
        }
        remove(ts);
        return;
    }

    const JsonValue& type_value = settings["type"];
    std::string type = type_value.kind == JSON_STRING ? type_value.text : std::string();

    if (current && has_type(current, type.c_str()))
        return;
    if (current)
        remove(ts);

    for (size_t i = 0; i < channel_types_count; i++) {
        const channel_type_t& row = channel_types[i];
        if (type != row.type)
            continue;
        if (type == "PRI") {
            // A whole E1 span; its timeslot 0 is never used.
            for (int t = span + 1; t <= span + 31; t++) {
                remove(t);
                if (!construct(t, row, type, ts))
                    return;
            }
            return;
        }
        construct(ts, row, type, ts);
        return;
    }
    LOG(LOGF_SYSTEM, 4, "channel %d: unknown channel type %s", ts + 1, type.c_str());
}

}  // namespace

const channel_type_t* channel_types = daemon_types;
size_t channel_types_count = sizeof daemon_types / sizeof daemon_types[0];

void createChannel(JsonEvent_t* event)
{
    try {
        create(event);
    } catch (const std::exception& e) {
        LOG(LOGF_SYSTEM, 3, "exception caught in createChannel() channel %d: %s", event->channel + 1, e.what());
    } catch (...) {
        LOG(LOGF_SYSTEM, 3, "unknown exception caught in createChannel() channel %d", event->channel + 1);
    }
}
