// Something a waiting processor was waiting for, delivered to the context of
// one server transaction (Proxy::postEvent) and read back with
// RequestContext::getCurrentEvent when the chain resumes.
#pragma once

namespace sipproxy {

class ProcessorEvent {
public:
    virtual ~ProcessorEvent() = default;
};

}  // namespace sipproxy
