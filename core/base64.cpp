#include "core/base64.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <openssl/evp.h>
#include <vector>

#include "core/log.h"

int Base64Encode(std::string& out, const void* bytes, size_t length)
{
    out = Base64Encode(bytes, length);
    return 0;
}

std::string Base64Encode(const void* bytes, size_t length)
{
    std::string text;
    const unsigned char* in = static_cast<const unsigned char*>(bytes);
    // EVP_EncodeBlock takes an int length; long input goes in whole
    // 3-byte groups so that no "=" lands in the middle.
    constexpr size_t chunk = 3 * (1 << 20);
    while (length > 0) {
        size_t n = length < chunk ? length : chunk;
        std::vector<unsigned char> buf(4 * ((n + 2) / 3) + 1);
        int written = EVP_EncodeBlock(buf.data(), in, int(n));
        text.append(reinterpret_cast<const char*>(buf.data()), size_t(written));
        in += n;
        length -= n;
    }
    return text;
}

int Base64Decode(const std::string& text, unsigned char** out, int* length)
{
    *out = nullptr;
    size_t len = text.size();
    if (len > size_t(INT_MAX) / 3) {
        LOG(LOGF_GENERAL, 3, "Base64Decode(): decoded=%d, expected=%d", -1, -1);
        return -1;
    }
    int expected = int(len * 3 / 4);
    for (size_t i = 0; i < 2 && i < len && text[len - 1 - i] == '='; i++)
        expected--;
    if (expected < 0)
        expected = 0;

    // Decoded into a buffer sized by the text itself, so that no text can
    // write past it, then handed out at the promised length.
    std::vector<unsigned char> buf(len / 4 * 3 + 3);
    std::unique_ptr<EVP_ENCODE_CTX, void (*)(EVP_ENCODE_CTX*)> ctx(EVP_ENCODE_CTX_new(), EVP_ENCODE_CTX_free);
    int decoded = -1;
    if (ctx) {
        EVP_DecodeInit(ctx.get());
        int n = 0;
        int tail = 0;
        if (EVP_DecodeUpdate(ctx.get(), buf.data(), &n, reinterpret_cast<const unsigned char*>(text.data()), int(len)) >= 0 &&
            EVP_DecodeFinal(ctx.get(), buf.data() + n, &tail) >= 0)
            decoded = n + tail;
    }
    // A text the decoder refuses counts as a mismatch, even when the bytes
    // before the bad character happen to have the expected length.
    if (decoded != expected) {
        LOG(LOGF_GENERAL, 3, "Base64Decode(): decoded=%d, expected=%d", decoded, expected);
        return -1;
    }
    unsigned char* result = static_cast<unsigned char*>(malloc(size_t(expected) + 3));
    if (!result)
        return -1;
    memcpy(result, buf.data(), size_t(expected));
    result[expected] = 0;
    *out = result;
    *length = expected;
    return 0;
}
