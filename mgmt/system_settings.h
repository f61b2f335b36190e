// The writes of the syslog settings (".30.6.1.0") and of eth0's IPv6 mode and
// static address (".30.1.1.0", ".30.2.1.0"). Failures are logged.
#pragma once

#include <string>

// "<priority>[,<log type>]": the daemon's log level, the system logger's
// configuration file and, when the type changes, the logger itself.
void write_syslog_settings(const std::string& id, const std::string& text);

// 0 router advertisements with prefixes, 1 static address, 2 no IPv6.
void write_ipv6_mode(const std::string& id, const std::string& text);
// "<address>[/<prefix length>]", taken only in mode 1.
void write_ipv6_address(const std::string& id, const std::string& text);
