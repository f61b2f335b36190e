// An ordered list of named processors. Processors are found, inserted and
// replaced by name before the proxy starts; the chain runs them in order from
// a given position (a resumed context starts at the processor that waited).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "sip/proxy/processor.h"

namespace sipproxy {

class ProcessorChain {
public:
    explicit ProcessorChain(ChainType type) : type(type) {}

    ChainType chainType() const { return type; }
    void add(std::unique_ptr<Processor> p);
    // False (and p is dropped) when no processor has that name.
    bool insertBefore(const std::string& name, std::unique_ptr<Processor> p);
    bool insertAfter(const std::string& name, std::unique_ptr<Processor> p);
    bool replace(const std::string& name, std::unique_ptr<Processor> p);
    bool remove(const std::string& name);
    Processor* find(const std::string& name) const;
    std::vector<std::string> names() const;
    size_t size() const { return list.size(); }

    // Runs the processors from position `from`. Returns Continue (the chain
    // ran out or a processor skipped the rest of it), WaitingForEvent with
    // *stopped_at set to the waiting processor, or SkipAllChains.
    processor_action_t process(RequestContext& context, size_t from, size_t* stopped_at) const;

private:
    int indexOf(const std::string& name) const;
    ChainType type;
    std::vector<std::unique_ptr<Processor>> list;
};

}  // namespace sipproxy
