// Splits the registration-sync byte stream into messages: each message runs
// from the first start tag to the first matching closing tag after it; any
// text before it (line ends, keep-alives) is dropped.
#pragma once

#include <cstddef>
#include <string>

namespace sipproxy {

class SyncFramer {
public:
    // Input without any start tag is dropped beyond this size.
    static constexpr size_t max_garbage = 102400;
    // A message whose closing tag has not come by this size is dropped too.
    static constexpr size_t max_message = 1024 * 1024;

    enum class Result { Message, NeedMore, Overflow };

    void append(const char* data, size_t len) { buf.append(data, len); }
    void clear() { buf.clear(); }
    size_t buffered() const { return buf.size(); }

    // Message: *tag and *message are set and the buffer is consumed up to the
    // end of the message. Overflow: the buffer was emptied.
    Result next(std::string* tag, std::string* message);

private:
    std::string buf;
};

// Position of the first start tag (neither an end tag nor self-closing) at or
// after from, its name and the position just after its '>'; false if none.
bool find_start_tag(const std::string& text, size_t from, size_t* pos, std::string* name, size_t* end);

}  // namespace sipproxy
