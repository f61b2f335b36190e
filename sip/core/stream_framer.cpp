#include "sip/core/stream_framer.h"

#include <cctype>
#include <cstring>
#include <strings.h>

namespace sipcore {

namespace {

// End of the header block (after the blank line), or npos.
size_t header_end(const char* d, size_t len)
{
    for (size_t i = 0; i + 3 < len; ++i)
        if (d[i] == '\r' && d[i + 1] == '\n' && d[i + 2] == '\r' && d[i + 3] == '\n')
            return i + 4;
    return std::string::npos;
}

}  // namespace

long header_content_length(const char* h, size_t len)
{
    long found = -1;
    size_t i = 0;
    while (i < len) {
        size_t eol = i;
        while (eol < len && h[eol] != '\n')
            ++eol;
        size_t n = eol - i;
        const char* line = h + i;
        size_t name_len = 0;
        if (n >= 14 && strncasecmp(line, "Content-Length", 14) == 0)
            name_len = 14;
        else if (n >= 1 && (line[0] == 'l' || line[0] == 'L') && (n == 1 || line[1] == ':' || line[1] == ' ' || line[1] == '\t'))
            name_len = 1;
        if (name_len) {
            size_t p = name_len;
            while (p < n && (line[p] == ' ' || line[p] == '\t'))
                ++p;
            if (p < n && line[p] == ':') {
                ++p;
                while (p < n && (line[p] == ' ' || line[p] == '\t'))
                    ++p;
                long v = 0;
                size_t digits = 0;
                while (p < n && isdigit(static_cast<unsigned char>(line[p]))) {
                    if (v > 100000000)
                        return -2;
                    v = v * 10 + (line[p] - '0');
                    ++p;
                    ++digits;
                }
                while (p < n && (line[p] == ' ' || line[p] == '\t' || line[p] == '\r'))
                    ++p;
                if (digits == 0 || p != n)
                    return -2;
                if (found >= 0 && found != v)
                    return -2;
                found = v;
            }
        }
        i = eol + 1;
    }
    return found;
}

StreamFramer::Result StreamFramer::next(std::string* out)
{
    // Between messages, each CRLFCRLF is one ping however it was cut into
    // reads; other CRs and LFs (pongs, stray line ends) are dropped.
    static const char ping[] = "\r\n\r\n";
    while (!buf.empty() && (buf[0] == '\r' || buf[0] == '\n')) {
        if (buf.compare(0, 4, ping) == 0) {
            buf.erase(0, 4);
            return Result::KeepAlive;
        }
        if (buf.size() < 4 && buf.compare(0, buf.size(), ping, buf.size()) == 0)
            return Result::NeedMore;
        buf.erase(0, 1);
    }
    if (buf.empty())
        return Result::NeedMore;
    size_t end = header_end(buf.data(), buf.size());
    if (end == std::string::npos)
        return buf.size() > max ? Result::Error : Result::NeedMore;
    long cl = header_content_length(buf.data(), end);
    if (cl < 0 || end + static_cast<size_t>(cl) > max)
        return Result::Error;
    if (buf.size() < end + static_cast<size_t>(cl))
        return Result::NeedMore;
    out->assign(buf, 0, end + cl);
    buf.erase(0, end + cl);
    return Result::Message;
}

int frame_datagram(const char* data, size_t len, size_t* message_len)
{
    size_t end = header_end(data, len);
    if (end == std::string::npos) {
        // No blank line: headers only, no body.
        *message_len = len;
        return 0;
    }
    long cl = header_content_length(data, end);
    if (cl == -2)
        return -1;
    if (cl < 0) {
        *message_len = len;
        return 0;
    }
    if (end + static_cast<size_t>(cl) > len)
        return -1;
    *message_len = end + cl;
    return 0;
}

}  // namespace sipcore
