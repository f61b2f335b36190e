#include "sip_channel_fixture.h"

#include "support/test_channel.h"
#include "ua/user_agent.h"

RecordingUa* RecordingUa::current = nullptr;

namespace {

void note(const std::string& line) { RecordingUa::current->calls.push_back(line); }

const sip_channel_ua_t recording = {
    [](const AbstractChannel* c) {
        auto* ch = dynamic_cast<const SIPChannel*>(c);
        note("reg " + ch->uri);
        return RecordingUa::current->registerFails ? -1 : RecordingUa::current->nextId++;
    },
    [](int id, const std::string& user, const std::string& realm) {
        note("unreg " + std::to_string(id) + " " + user + " " + realm);
        return 0;
    },
    ua_get_host_from_uri,
    [](int call, const std::string& reason) {
        note("hangup " + std::to_string(call) + (reason.empty() ? "" : " " + reason));
        return RecordingUa::current->result;
    },
    [](int call) {
        note("answer " + std::to_string(call));
        return RecordingUa::current->result;
    },
    [](int call, const char* mode) {
        note("reinvite " + std::to_string(call) + " " + (mode ? mode : "-"));
        return RecordingUa::current->result;
    },
    [](int transport, int call, int channel, const std::string& from, const std::string& to,
       const std::string& codecs, int did, const std::string& by) {
        note("refer_to " + std::to_string(transport) + " " + std::to_string(call) + " " + std::to_string(channel) +
             " " + from + " " + to + " [" + codecs + "] " + std::to_string(did) + " " + by);
        return RecordingUa::current->result;
    },
};

}  // namespace

RecordingUa::RecordingUa()
{
    current = this;
    sip_channel_set_ua(&recording);
}

RecordingUa::~RecordingUa()
{
    sip_channel_set_ua(nullptr);
    current = nullptr;
}

int RecordingSipChannel::plant(int type) { return test_open_connection(*this, type); }
