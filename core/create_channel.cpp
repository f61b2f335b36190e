#include "core/create_channel.h"

#include <cstring>
#include <exception>
#include <string>

#include "core/channel_table.h"
#include "core/channel_types.h"
#include "core/log.h"

namespace {

// Compared in this order, byte for byte; the Cyrillic names are UTF-8.
struct channel_type_t {
    const char* type;
    AbstractChannel* (*make)(int ts);
};
const channel_type_t types[] = {
    {"FXS", new_FXSChannel},
    {"FS01", new_FS01Channel},
    {"FXO", new_FXOChannel},
    {"FO01", new_FO01Channel},
    {"1IND", new_INDChannel},
    {"R1.5", new_R15Channel},
    {"R2", new_MFCR2Channel},
    {"R2DTMF", new_R2DtmfChannel},
    {"PPS", new_PPSChannel},
    {"\xD0\x90\xD0\x94\xD0\x90\xD0\xA1\xD0\xAD", new_ADASEChannel},  // АДАСЭ
    {"\xD0\x9C\xD0\x91", new_MBChannel},                              // МБ
    {"EM", new_EMChannel},
    {"SL", new_SLChannel},
    {"R232", nullptr},
    {"R422", nullptr},
    {"R485", nullptr},
    {"DS", new_DSChannel},
    {"SS7lnk", new_SS7lnk},
    {"SS7", new_SS7},
    {"TAP", new_TUNTAP},
    {"RTP", new_RTPStream},
    {"DEFLECTOR", new_DEFLECTOR},
    {"PRI", new_PRI},
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

bool is_type(AbstractChannel* ch, const char* type)
{
    const char* name = ch ? ch->getTypeName() : nullptr;
    return name && strcmp(name, type) == 0;
}

// Constructor failures leave the slot empty; the caller goes on.
bool construct(int ts, const channel_type_t& t, const std::string& type)
{
    try {
        store(ts, t.make ? t.make(ts) : new_DataChannel(ts, type));
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
    JsonValue& settings = event->value;
    AbstractChannel* current = channel_table[ts];
    int span = ts & ~31;

    if (settings.kind == JSON_HASH && settings.members.empty()) {
        if (!current)
            return;
        if (is_type(current, "PRI")) {
            // Only the span's D-channel slot takes the whole span down.
            if ((ts & 31) == 16)
                for (int t = span + 1; t <= span + 31; t++)
                    remove(t);
            return;
        }
        remove(ts);
        return;
    }

    JsonValue& type_value = settings["type"];
    std::string type = type_value.kind == JSON_STRING ? type_value.text : std::string();

    if (current && is_type(current, type.c_str()))
        return;
    if (current)
        remove(ts);

    for (const auto& t : types) {
        if (type != t.type)
            continue;
        if (strcmp(t.type, "PRI") == 0) {
            // A whole E1 span; its slot 0 is never used.
            for (int s = span + 1; s <= span + 31; s++) {
                if (channel_table[s])
                    remove(s);
                if (!construct(s, t, type))
                    return;
            }
            return;
        }
        construct(ts, t, type);
        return;
    }
    LOG(LOGF_SYSTEM, 4, "channel %d: unknown channel type %s", ts + 1, type.c_str());
}

}  // namespace

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
