// The management command variable ".20.0": a JSON object that carries a
// chunk of a TLS or SSH key file, a command, or both.
#pragma once

#include <atomic>
#include <string>

// Clear from the first received key file chunk until "sslapply" puts the
// received files in place.
extern std::atomic<bool> tlsApplied;

// Carries out the command text written under id; failures are logged.
void mgmt_command(const std::string& id, const std::string& text);

// Chunks beyond this many bytes of a file are refused.
constexpr long long KEY_FILE_LIMIT = 100000;
