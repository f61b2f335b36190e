// Seeded random mutation of valid list bodies, fed to every parser of the
// management link. Bounded, so that it runs in every build; under
// AddressSanitizer it catches reads past the received bytes.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "core/log.h"
#include "mgmt/hex.h"
#include "mgmt/my_snmp.h"
#include "mgmt/var_list_checks.h"

namespace {

void fuzz_one(const Bytes& input)
{
    // a heap block of exactly the input's size
    size_t n = input.size();
    std::unique_ptr<uint8_t[]> data(new uint8_t[n]);
    std::copy(input.begin(), input.end(), data.get());
    const char* failed = var_list_checks::check_all(data.get(), n);
    ASSERT_EQ(failed, nullptr) << failed << ": " << to_hex(input);
}

Bytes mutate(const Bytes& seed, const std::vector<Bytes>& corpus, std::mt19937& rng)
{
    static const uint8_t interesting[] = {0, 1, 2, 3, 4, 5, 6, 0x2E, 0x30, 0x7E, 0x7F, 0x80, 0xFE, 0xFF};
    Bytes b = seed;
    auto pick = [&](size_t n) { return n ? size_t(rng() % n) : 0; };
    int steps = 1 + int(rng() % 4);
    for (int s = 0; s < steps; ++s) {
        switch (rng() % 7) {
        case 0:
            if (!b.empty())
                b[pick(b.size())] ^= uint8_t(1u << (rng() % 8));
            break;
        case 1:
            if (!b.empty())
                b[pick(b.size())] = interesting[pick(sizeof interesting)];
            break;
        case 2:
            b.insert(b.begin() + long(pick(b.size() + 1)), uint8_t(rng()));
            break;
        case 3:
            if (!b.empty())
                b.erase(b.begin() + long(pick(b.size())));
            break;
        case 4:
            b.resize(pick(b.size() + 1));
            break;
        case 5: {   // repeat a slice
            if (b.empty())
                break;
            size_t from = pick(b.size()), len = 1 + pick(std::min<size_t>(16, b.size() - from));
            Bytes slice(b.begin() + long(from), b.begin() + long(from + len));
            b.insert(b.begin() + long(pick(b.size() + 1)), slice.begin(), slice.end());
            break;
        }
        default: {   // splice with another seed
            const Bytes& other = corpus[pick(corpus.size())];
            size_t cut = pick(b.size() + 1), from = pick(other.size() + 1);
            b.resize(cut);
            b.insert(b.end(), other.begin() + long(from), other.end());
            break;
        }
        }
    }
    return b;
}

std::vector<Bytes> seeds()
{
    std::vector<Bytes> out = {
        hex("0A 05 03 00 0B 01 03 00 1E 07 01 00"),
        hex("0D 00 00 07 0E 03 02 00 01 34 12 0A 01 03 00 04 04 00 7B 7D"),
        hex("02 00 02 FF FF FF FF 03 00 03 08 07 06 05 04 03 02 01 04 00 04 02 00"),
        hex("0D 00 03 0B 01 01 00 00 06 00 02"),
        hex("01 00 00 01 25 01 02 00 00 04 07 00 5A 52 2D 34 30 63 00 01"),
        hex("0A 00 01 0C 00 02 63 00 00 00 07"),
        Bytes(reinterpret_cast<const uint8_t*>(".10.256.3.0"), reinterpret_cast<const uint8_t*>(".10.256.3.0") + 11),
        Bytes(reinterpret_cast<const uint8_t*>(".255.1.511"), reinterpret_cast<const uint8_t*>(".255.1.511") + 10),
    };
    MyVarTable t;
    t[".14.0"] = MyVarDescriptor{MyVarValue::TABLE, 8, "e1", "#!$n=9"};
    t[".14.1.1.0"] = MyVarDescriptor{MyVarValue::INT8, VAR_RW, "e1num", "E1 number"};
    std::string mib = describe_var_table(t);
    out.emplace_back(mib.begin(), mib.end());
    return out;
}

}   // namespace

TEST(VarListFuzz, ArbitraryBytesNeverBreakTheParsers)
{
    // parse_var_table logs every refusal; format the lines but keep them
    log_set_sink([](int, const char*) {});
    int saved_level = log_level;
    log_level = 7;

    std::vector<Bytes> corpus = seeds();
    const size_t first = corpus.size();
    std::mt19937 rng(20261210);
    constexpr int iterations = 60000;
    for (int i = 0; i < iterations && !HasFatalFailure(); ++i) {
        Bytes in = mutate(corpus[rng() % corpus.size()], corpus, rng);
        if (in.size() > 512)
            in.resize(512);
        fuzz_one(in);
        // keep some inputs that still parse, to mutate further from them
        MyVarValueList probe;
        if (corpus.size() < first + 200 && probe.parse(in.data(), int(in.size())) == 0 && !probe.empty())
            corpus.push_back(in);
    }
    // and plain random bytes
    for (int i = 0; i < 5000 && !HasFatalFailure(); ++i) {
        Bytes in(rng() % 40);
        for (auto& b : in)
            b = uint8_t(rng() % 8 == 0 ? 0 : rng());
        fuzz_one(in);
    }

    log_level = saved_level;
    log_set_sink(nullptr);
}
