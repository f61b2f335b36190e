// Arbitrary bytes through the stream framer, once whole and once cut into
// pieces chosen by the input: the same frames, the same pings (one pong
// each) and the same leftover, however the bytes arrive.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sip/core/stream_framer.h"

using namespace sipcore;

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "stream_fuzz: %s\n", what);
        abort();
    }
}

struct run_t {
    std::vector<std::string> frames;  // "" for a ping
    bool error = false;
    size_t left = 0;
};

run_t run(const std::string& stream, const std::vector<size_t>& pieces)
{
    StreamFramer f(2048);
    run_t r;
    size_t at = 0;
    for (size_t i = 0; at < stream.size() && !r.error; ++i) {
        size_t n = i < pieces.size() ? pieces[i] : stream.size() - at;
        n = std::min(n, stream.size() - at);
        f.feed(stream.data() + at, n);
        at += n;
        for (;;) {
            std::string out;
            auto res = f.next(&out);
            if (res == StreamFramer::Result::NeedMore)
                break;
            if (res == StreamFramer::Result::Error) {
                r.error = true;
                break;
            }
            if (res == StreamFramer::Result::Message)
                check(!out.empty(), "empty message frame");
            r.frames.push_back(res == StreamFramer::Result::KeepAlive ? std::string() : out);
        }
    }
    r.left = r.error ? 0 : f.buffered();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // the first bytes pick the piece sizes (1..16 bytes, repeating)
    size_t nsizes = 1 + data[0] % 8;
    if (size < 1 + nsizes)
        return 0;
    std::vector<size_t> sizes;
    for (size_t i = 0; i < nsizes; ++i)
        sizes.push_back(1 + data[1 + i] % 16);
    std::string stream(reinterpret_cast<const char*>(data) + 1 + nsizes, size - 1 - nsizes);
    std::vector<size_t> pieces;
    for (size_t total = 0, i = 0; total < stream.size(); ++i) {
        pieces.push_back(sizes[i % sizes.size()]);
        total += pieces.back();
    }
    run_t whole = run(stream, {});
    run_t cut = run(stream, pieces);
    run_t bytes = run(stream, std::vector<size_t>(stream.size(), 1));
    check(whole.error == cut.error && whole.error == bytes.error, "segmentation changed whether the stream frames");
    if (whole.error) {
        // an unframeable stream may be noticed at another point; what came before it still matches
        size_t n = std::min({whole.frames.size(), cut.frames.size(), bytes.frames.size()});
        for (size_t i = 0; i < n; ++i)
            check(whole.frames[i] == cut.frames[i] && whole.frames[i] == bytes.frames[i], "frames differ before an error");
        return 0;
    }
    check(whole.frames == cut.frames, "frames differ when cut in pieces");
    check(whole.frames == bytes.frames, "frames differ when fed byte by byte");
    check(whole.left == cut.left && whole.left == bytes.left, "leftover differs");
    size_t framed = whole.left;
    for (const auto& f : whole.frames)
        framed += f.empty() ? 4 : f.size();
    check(framed <= stream.size(), "framer produced more than it was fed");
    return 0;
}
