// A board without a chassis (board address 31) manages itself: it reads its
// configuration file once and hands each setting to its owner.
#pragma once

#include <string>

// Called once by the poller thread when it first reads address 31: sets
// standaloneMode and the FPGA's standalone mode, then reads the
// configuration file (writing the default one when there is none) and
// applies it. Holds globalConfigMutex while it applies the file.
void enter_standalone_mode();

// The channel type a module port gets for a module type code ("RTP" for
// EM01); null for an empty slot or an unknown module.
const char* module_port_type(int moduleType);

// The slot's driver (slot index 0 or 1) for the module type: restarted when
// it exists and restart is set, else created through the write hooks.
void module_driver_for(int slot, int moduleType, bool restart);

// The TLS files and their staging files under "/tmp/ssl/".
constexpr const char* TLS_DIR = "/tmp/ssl/";
constexpr const char* TLS_FILES[3] = {"sslcert", "sslkey", "cafile"};
// Replaces each TLS file by its staging file when they differ; when any
// changed, restarts the proxy. True when any changed.
bool apply_tls_files();
// Creates "/tmp/ssl" when it is missing. 0, or -1 after logging.
int make_tls_dir();
