// PRACK for reliable provisional answers to our INVITE.
#include "sip/agent/agent.h"

namespace sipagent {

using namespace sipcore;

int Agent::callBuildPrack(int tid, const Message& provisional, Message* out)
{
    tx_t* tx = txById(tid);
    if (!tx || !tx->client || tx->method != "INVITE")
        return -6;
    int code = provisional.statusCode();
    if (tx->final_done || code <= 100 || code >= 200)
        return -3;
    std::string rseq = provisional.header("RSeq");
    int n = static_cast<int>(header_number(rseq, 0x7fffffff));
    if (n <= 0)
        return -2;
    if (tx->prack_rseq == n)
        return -3;
    dialog_t* d = dialogFor(provisional, false);
    if (!d)
        return -6;
    *out = buildInDialog(*d, "PRACK");
    out->addHeader("RAck", std::to_string(n) + " " + std::to_string(provisional.cseq()) + " INVITE");
    return 0;
}

int Agent::callSendPrack(int tid, Message prack)
{
    tx_t* tx = txById(tid);
    if (!tx || !tx->client || tx->method != "INVITE" || !prack)
        return -6;
    if (tx->final_done)
        return -3;
    dialog_t* d = dialogFor(prack, false);
    if (!d)
        return -6;
    int rseq = static_cast<int>(header_number(prack.header("RAck"), 0x7fffffff));
    if (rseq > 0)
        tx->prack_rseq = rseq;
    return sendInDialog(*d, std::move(prack), false) > 0 ? 0 : -1;
}

}  // namespace sipagent
