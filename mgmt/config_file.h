// Files the configuration writes: whole files replaced at once, and the TLS
// files that are only replaced when their contents change.
#pragma once

#include <string>
#include <sys/types.h>

// The configuration file written when there is none: one line, no final
// newline.
extern const char* const DEFAULT_CONFIG_TEXT;

// Writes data to "<path>.tmp" (created with mode), flushes it to disk and
// renames it over path, so that readers see the old file or the new one,
// never a part. Paths are taken as they are (callers map them). 0, or -1
// after logging the cause; path is then untouched and the .tmp removed.
int write_file_atomically(const std::string& path, const std::string& data, mode_t mode);

// Replaces old by the staging file fresh when their contents differ; true
// when old's content changed or must be taken as changed. Paths are taken
// as they are.
bool rename_if_differ(const std::string& fresh, const std::string& old);

// "/tmp/resolv.conf.auto" becomes the one line "nameserver <dns>".
void write_resolver_file(const std::string& dns);
