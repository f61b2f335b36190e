// What the registrar tells the application about each REGISTER. A false
// return refuses the registration (403) before anything changes.
#pragma once

#include <string>

#include "sip/core/message.h"

namespace sipproxy {

class RegistrarHandler {
public:
    virtual ~RegistrarHandler() = default;
    virtual bool onAdd(const sipcore::Message& /*reg*/, const std::string& /*aor*/) { return true; }
    virtual bool onRefresh(const sipcore::Message& /*reg*/, const std::string& /*aor*/) { return true; }
    virtual bool onRemove(const sipcore::Message& /*reg*/, const std::string& /*aor*/) { return true; }
    virtual bool onRemoveAll(const sipcore::Message& /*reg*/, const std::string& /*aor*/) { return true; }
    virtual bool onQuery(const sipcore::Message& /*reg*/, const std::string& /*aor*/) { return true; }
};

}  // namespace sipproxy
