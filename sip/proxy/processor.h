// One step of request handling: a small object with a name, run by a chain
// on the stack thread, that looks at the request context and says how the
// chain goes on.
#pragma once

#include <string>

namespace sipproxy {

class RequestContext;

enum class processor_action_t {
    Continue = 0,
    WaitingForEvent = 1,  // the chain stops here and resumes at this processor on the next event
    SkipThisChain = 2,    // the rest of this chain is skipped; the next chain runs
    SkipAllChains = 3,    // nothing further (a response was sent or the request is dropped)
};

enum class ChainType { Request, Response, Target };

class Processor {
public:
    explicit Processor(std::string name) : name(std::move(name)) {}
    virtual ~Processor() = default;
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;

    virtual processor_action_t process(RequestContext& context) = 0;

    const std::string& getName() const { return name; }
    void setName(const std::string& n) { name = n; }
    ChainType getChainType() const { return chain; }
    void setChainType(ChainType c) { chain = c; }

private:
    std::string name;
    ChainType chain = ChainType::Request;
};

const char* chain_type_name(ChainType type);

}  // namespace sipproxy
