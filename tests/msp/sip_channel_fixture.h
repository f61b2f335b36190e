// A concrete SIPChannel and a user agent that records what the channel asks
// of it, for the tests of the SIP channel base.
#pragma once

#include <string>
#include <vector>

#include "msp/sip_channel.h"

class RecordingSipChannel : public SIPChannel {
public:
    using SIPChannel::SIPChannel;
    const char* getTypeName() const override { return "SIPTEST"; }
    const char* getStateName() const override { return state; }
    // Counts the parameters applied; applies them only when applyRtp.
    int comcerto_set_rtp_params(rtp_event_t* params) override
    {
        rtpApplied++;
        return applyRtp ? SIPChannel::comcerto_set_rtp_params(params) : 0;
    }
    // A voice connection in the simulated media processor, bound to the channel.
    int plantVoice() { return plant(MSP_CONN_VOICE); }
    int plant(int type);

    const char* state = "idle";
    int rtpApplied = 0;
    bool applyRtp = false;
};

// Every call to the user agent as one line ("reg 3", "hangup 7 reason", ...).
struct RecordingUa {
    RecordingUa();
    ~RecordingUa();
    std::vector<std::string> calls;
    int nextId = 1;
    int result = 0;          // of hangup, answer, reinvite, refer_to
    bool registerFails = false;
    static RecordingUa* current;
    std::vector<std::string> take()
    {
        std::vector<std::string> out;
        out.swap(calls);
        return out;
    }
};
