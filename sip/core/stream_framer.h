// Cuts SIP messages out of a byte stream by Content-Length (TCP, TLS), and
// checks a datagram's Content-Length against what arrived.
#pragma once

#include <cstddef>
#include <string>

namespace sipcore {

// Content-Length of a header block (up to the blank line): the value, -1 when
// absent, -2 when malformed or given twice with different values.
long header_content_length(const char* headers, size_t len);

class StreamFramer {
public:
    explicit StreamFramer(size_t max_message = 256 * 1024) : max(max_message) {}

    void feed(const char* data, size_t len) { buf.append(data, len); }
    enum class Result { Message, NeedMore, KeepAlive, Error };
    // Message: out holds one whole message. KeepAlive: a CRLFCRLF ping was
    // consumed. Error: the stream cannot be framed (no or bad Content-Length,
    // oversized); the connection should be closed.
    Result next(std::string* out);
    size_t buffered() const { return buf.size(); }

private:
    std::string buf;
    size_t max;
};

// For a datagram: the message cut to its Content-Length. Returns 0, or -1 when
// the body is shorter than Content-Length or the header is malformed.
int frame_datagram(const char* data, size_t len, size_t* message_len);

}  // namespace sipcore
