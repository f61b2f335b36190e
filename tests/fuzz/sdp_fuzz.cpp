// Arbitrary text into the user agent's SDP readers, as an offer to answer
// and as the answer to offers of ours; see sdp_fuzz_checks.h for what must hold.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/log.h"
#include "tests/ua/sdp_fuzz_checks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // every refusal is formatted, none kept
    log_set_sink([](int, const char*) {});
    log_level = 7;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    if (const char* failed = sdp_fuzz::check_all(text)) {
        fprintf(stderr, "sdp_fuzz: %s\n", failed);
        abort();
    }
    return 0;
}
