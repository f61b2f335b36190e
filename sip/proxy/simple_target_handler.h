// The last processor of the target chain: when no branch is open, the front
// queue of targets is forked.
#pragma once

#include "sip/proxy/processor.h"

namespace sipproxy {

class SimpleTargetHandler : public Processor {
public:
    SimpleTargetHandler() : Processor("SimpleTargetHandler") {}
    processor_action_t process(RequestContext& context) override;
};

}  // namespace sipproxy
