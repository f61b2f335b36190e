// Arbitrary bytes into the management link's list parsers, ID codec and
// table reader; see var_list_checks.h for what must hold.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/log.h"
#include "tests/mgmt/var_list_checks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // the table reader logs every refusal: format the lines, keep none
    log_set_sink([](int, const char*) {});
    log_level = 7;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // libFuzzer's own block may be larger than size: copy to an exact one
    std::unique_ptr<uint8_t[]> exact(new uint8_t[size]);
    if (size)
        memcpy(exact.get(), data, size);
    if (const char* failed = var_list_checks::check_all(exact.get(), size)) {
        fprintf(stderr, "var_list_fuzz: %s\n", failed);
        abort();
    }
    return 0;
}
