#include "sip/proxy/xml_tree.h"

#include <expat.h>
#include <strings.h>

#include <cstring>
#include <memory>

namespace sipproxy {

bool XmlElement::is(const char* name) const
{
    return tag.size() == strlen(name) && strcasecmp(tag.c_str(), name) == 0;
}

namespace {

struct parse_state_t {
    XML_Parser parser;
    XmlElement root;
    std::vector<XmlElement*> open;
    bool seen_root = false;
    std::string error;
};

void fail(parse_state_t* s, const std::string& why)
{
    if (s->error.empty())
        s->error = why;
    XML_StopParser(s->parser, XML_FALSE);
}

void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char**)
{
    auto* s = static_cast<parse_state_t*>(data);
    if (!s->error.empty())
        return;
    if (s->open.empty()) {
        s->seen_root = true;
        s->root.tag = name;
        s->open.push_back(&s->root);
        return;
    }
    if (static_cast<int>(s->open.size()) >= xml_max_depth) {
        fail(s, "elements nested too deeply");
        return;
    }
    XmlElement* parent = s->open.back();
    parent->value.clear();
    parent->has_value = false;
    parent->children.emplace_back();
    parent->children.back().tag = name;
    s->open.push_back(&parent->children.back());
}

void XMLCALL on_end(void* data, const XML_Char*)
{
    auto* s = static_cast<parse_state_t*>(data);
    if (!s->open.empty())
        s->open.pop_back();
}

void XMLCALL on_text(void* data, const XML_Char* text, int len)
{
    auto* s = static_cast<parse_state_t*>(data);
    if (s->open.empty() || len <= 0)
        return;
    XmlElement* e = s->open.back();
    if (!e->children.empty())
        return;  // text between child elements is layout
    // Expat hands over UTF-8: code points below 256 become their byte again.
    for (int i = 0; i < len; ++i) {
        auto b = static_cast<unsigned char>(text[i]);
        if ((b == 0xC2 || b == 0xC3) && i + 1 < len) {
            e->value += static_cast<char>(((b & 0x03) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F));
            ++i;
        } else {
            e->value += static_cast<char>(b);
        }
    }
    e->has_value = true;
}

void XMLCALL on_doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int)
{
    fail(static_cast<parse_state_t*>(data), "document type declarations are not accepted");
}

}  // namespace

XmlElement xml_parse(const std::string& text)
{
    // Read as Latin-1 unless the text declares otherwise, and turned back into
    // the same bytes below: every byte a record was given comes back as it
    // was, whether or not it is UTF-8.
    std::unique_ptr<XML_ParserStruct, void (*)(XML_Parser)> p(XML_ParserCreate("ISO-8859-1"), XML_ParserFree);
    if (!p)
        throw XmlError("out of memory");
    parse_state_t s;
    s.parser = p.get();
    XML_SetUserData(p.get(), &s);
    XML_SetElementHandler(p.get(), on_start, on_end);
    XML_SetCharacterDataHandler(p.get(), on_text);
    XML_SetStartDoctypeDeclHandler(p.get(), on_doctype);
    XML_SetParamEntityParsing(p.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    if (text.size() > static_cast<size_t>(INT32_MAX))
        throw XmlError("document too large");
    XML_Status st = XML_Parse(p.get(), text.data(), static_cast<int>(text.size()), XML_TRUE);
    if (!s.error.empty())
        throw XmlError(s.error);
    if (st != XML_STATUS_OK)
        throw XmlError(std::string(XML_ErrorString(XML_GetErrorCode(p.get()))) + " at line " +
                       std::to_string(XML_GetCurrentLineNumber(p.get())));
    if (!s.seen_root)
        throw XmlError("no element");
    return std::move(s.root);
}

std::string xml_char_data_encode(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\'': out += "&apos;"; break;
        case '"': out += "&quot;"; break;
        case '\r': out += "&#13;"; break;  // a raw CR would be read back as LF
        default: out += c;
        }
    }
    return out;
}

bool xml_has_control(const std::string& text)
{
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r')
            return true;
    }
    return false;
}

}  // namespace sipproxy
