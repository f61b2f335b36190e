#include "sip/proxy/sync_framer.h"

namespace sipproxy {

static bool word_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool find_start_tag(const std::string& text, size_t from, size_t* pos, std::string* name, size_t* end)
{
    // "<" name, then anything but '/' and '>' up to '>'. The first '/' or '>'
    // after a position is shared by every '<' before it, so it is found once
    // per stretch: linear in the text however many '<' it holds.
    size_t delim = std::string::npos;
    size_t delim_from = std::string::npos;
    for (size_t i = text.find('<', from); i != std::string::npos; i = text.find('<', i + 1)) {
        size_t j = i + 1;
        size_t k = j;
        while (k < text.size() && word_char(text[k]))
            ++k;
        if (k == j)
            continue;
        if (delim_from == std::string::npos || delim < k || delim_from > k) {
            delim = text.find_first_of("/>", k);
            delim_from = k;
        }
        if (delim == std::string::npos)
            return false;  // no '>' anywhere after: no later '<' can match either
        if (text[delim] != '>')
            continue;
        *pos = i;
        *name = text.substr(j, k - j);
        *end = delim + 1;
        return true;
    }
    return false;
}

SyncFramer::Result SyncFramer::next(std::string* tag, std::string* message)
{
    size_t pos, end;
    std::string name;
    if (!find_start_tag(buf, 0, &pos, &name, &end)) {
        if (buf.size() > max_garbage) {
            buf.clear();
            return Result::Overflow;
        }
        return Result::NeedMore;
    }
    // The closing tag is looked for after the start tag only, so that a stray
    // closing tag before it never makes a message end before it begins.
    std::string closing = "</" + name + ">";
    size_t close = buf.find(closing, end);
    if (close == std::string::npos) {
        if (buf.size() - pos > max_message) {
            buf.clear();
            return Result::Overflow;
        }
        return Result::NeedMore;
    }
    size_t stop = close + closing.size();
    *tag = std::move(name);
    *message = buf.substr(pos, stop - pos);
    buf.erase(0, stop);
    return Result::Message;
}

}  // namespace sipproxy
