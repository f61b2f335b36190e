#include "ua/call_data.h"

#include <map>
#include <memory>

#include "core/scheduler.h"
#include "ua/codec_list.h"

namespace {
std::map<int, std::unique_ptr<CallData>> records;  // guarded by the layer's lock
}

void call_data_init(CallData& call, int ts)
{
    call.ts = ts;
    call.did = 0;
    call.tid = 0;
    call.on_hold = false;
    call.is_t38 = false;
    call.notify_did = 0;
    call.terminate_later = false;
    call.end_reported = false;
    call.rel_timer = 0;
    call.codec_list = CODEC_LIST_DEFAULT;
    call.endpoint_type.clear();
    call.redirect_contact.clear();
    call.srtp_suite.clear();
    call.srtp_key.clear();
    call.identity.clear();
    call.remote_caps.clear();
    call.remote_require.clear();
    call.pending_invite = {};
    call.pending_channel = -1;
    call.reliable_response = {};
    call.rseq = 100;
    call.rel_interval = 500;
}

void call_data_destroy(CallData& call)
{
    if (call.rel_timer && main_scheduler)
        sched_cancel_timer(main_scheduler, call.rel_timer);
    call.rel_timer = 0;
    call.pending_invite = {};
    call.reliable_response = {};
}

CallData* ua_call_data(int call_id)
{
    auto it = records.find(call_id);
    return it == records.end() ? nullptr : it->second.get();
}

CallData* ua_call_data_create(int call_id, int ts)
{
    auto& slot = records[call_id];
    if (slot)
        call_data_destroy(*slot);
    slot = std::make_unique<CallData>();
    call_data_init(*slot, ts);
    slot->call_id = call_id;
    return slot.get();
}

void ua_call_data_release(int call_id)
{
    auto it = records.find(call_id);
    if (it == records.end())
        return;
    call_data_destroy(*it->second);
    records.erase(it);
}

void ua_call_data_release_all()
{
    for (auto& [id, call] : records)
        call_data_destroy(*call);
    records.clear();
}

size_t ua_call_data_count()
{
    return records.size();
}
