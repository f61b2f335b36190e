#include "sip/proxy/processor_chain.h"

namespace sipproxy {

const char* chain_type_name(ChainType type)
{
    switch (type) {
    case ChainType::Request:
        return "request";
    case ChainType::Response:
        return "response";
    case ChainType::Target:
        return "target";
    }
    return "?";
}

int ProcessorChain::indexOf(const std::string& name) const
{
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i]->getName() == name)
            return static_cast<int>(i);
    return -1;
}

void ProcessorChain::add(std::unique_ptr<Processor> p)
{
    p->setChainType(type);
    list.push_back(std::move(p));
}

bool ProcessorChain::insertBefore(const std::string& name, std::unique_ptr<Processor> p)
{
    int i = indexOf(name);
    if (i < 0)
        return false;
    p->setChainType(type);
    list.insert(list.begin() + i, std::move(p));
    return true;
}

bool ProcessorChain::insertAfter(const std::string& name, std::unique_ptr<Processor> p)
{
    int i = indexOf(name);
    if (i < 0)
        return false;
    p->setChainType(type);
    list.insert(list.begin() + i + 1, std::move(p));
    return true;
}

bool ProcessorChain::replace(const std::string& name, std::unique_ptr<Processor> p)
{
    int i = indexOf(name);
    if (i < 0)
        return false;
    p->setChainType(type);
    list[i] = std::move(p);
    return true;
}

bool ProcessorChain::remove(const std::string& name)
{
    int i = indexOf(name);
    if (i < 0)
        return false;
    list.erase(list.begin() + i);
    return true;
}

Processor* ProcessorChain::find(const std::string& name) const
{
    int i = indexOf(name);
    return i < 0 ? nullptr : list[i].get();
}

std::vector<std::string> ProcessorChain::names() const
{
    std::vector<std::string> out;
    for (const auto& p : list)
        out.push_back(p->getName());
    return out;
}

processor_action_t ProcessorChain::process(RequestContext& context, size_t from, size_t* stopped_at) const
{
    for (size_t i = from; i < list.size(); ++i) {
        processor_action_t a = list[i]->process(context);
        switch (a) {
        case processor_action_t::Continue:
            break;
        case processor_action_t::SkipThisChain:
            return processor_action_t::Continue;
        case processor_action_t::WaitingForEvent:
            if (stopped_at)
                *stopped_at = i;
            return a;
        case processor_action_t::SkipAllChains:
            return a;
        }
    }
    return processor_action_t::Continue;
}

}  // namespace sipproxy
