// A small element tree for the registration-sync messages and the saved
// registration records, parsed with expat. Character data is decoded once
// by the parser; attributes are not kept (nothing reads them).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace sipproxy {

struct XmlElement {
    std::string tag;
    // The decoded character data of an element without child elements.
    std::string value;
    bool has_value = false;
    std::vector<XmlElement> children;

    // Tag comparison without regard to case, as the records' readers do.
    bool is(const char* name) const;
};

class XmlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Deeper documents are refused: peer text must not exhaust the stack.
constexpr int xml_max_depth = 16;

// One well-formed element (a document type declaration is refused);
// throws XmlError otherwise. Values are the bytes that were encoded.
XmlElement xml_parse(const std::string& text);

// & < > ' " as their entities, CR as a character reference. Other control
// characters cannot be carried by XML: callers keep them out.
std::string xml_char_data_encode(const std::string& text);

// True when text holds a control character other than tab, LF and CR.
bool xml_has_control(const std::string& text);

}  // namespace sipproxy
