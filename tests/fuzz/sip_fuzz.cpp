// Arbitrary bytes into the SIP core's message intake: the stack's receive
// path (parse, checks, transactions, answers), the stream framer, and the
// digest parameter parser, under ASan and UBSan.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/log.h"
#include "sip/core/digest.h"
#include "sip/core/response.h"
#include "sip/core/stack.h"
#include "sip/core/stream_framer.h"

using namespace sipcore;

namespace {

void quiet(int, const char*) {}

class Answerer : public StackUser {
public:
    Stack* stack = nullptr;
    void onRequest(int tid, Message req, const request_info_t&) override
    {
        stack->sendResponse(tid, make_response(req, 200), true);
    }
    void onResponse(int, Message) override {}
};

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "sip_fuzz: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Answerer user;
    static Stack* stack = nullptr;
    static int uses = 0;
    log_set_sink(quiet);
    // A fresh stack now and then keeps unanswered transactions from piling up.
    if (!stack || ++uses > 500) {
        delete stack;
        stack = new Stack(&user);
        user.stack = stack;
        uses = 0;
    }
    const char* buf = reinterpret_cast<const char*>(data);
    peer_t from;
    from.addr = make_addr("127.0.0.1", 5060);
    stack->received(buf, size, from);
    stack->runOnce(0);

    // Printing and parsing again must be safe; osip's printer does not
    // promise text it will accept again for every odd header it took in.
    Message m = Message::parse(buf, size);
    if (m) {
        Message again = Message::parse(m.toString());
        (void)again.wellFormed();
        (void)m.nameAddrs("P-Asserted-Identity");
        (void)m.nameAddrs("Contact");
        (void)m.via();
    }

    StreamFramer framer(4096);
    framer.feed(buf, size);
    std::string out;
    for (int i = 0; i < 64; ++i) {
        auto r = framer.next(&out);
        if (r == StreamFramer::Result::NeedMore || r == StreamFramer::Result::Error)
            break;
        if (r == StreamFramer::Result::Message)
            check(out.size() <= size, "framer produced more than it was fed");
    }
    std::map<std::string, std::string> params;
    digest_parse_params(std::string(buf, size), &params);
    return 0;
}
