#include "core/pcre_re.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <utility>

namespace {

// One match: the offsets of the whole match and of each group (-1 when a
// group took no part), or an empty result.
struct Match {
    bool found = false;
    int groups = 0;  // captures including the whole match
    size_t ovector[2 * 10] = {};
};

Match match_at(const pcre2_code* code, const std::string& subject, size_t start, uint32_t options)
{
    Match m;
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    if (!data)
        return m;
    int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start, options, data,
                         nullptr);
    if (rc > 0) {
        m.found = true;
        uint32_t pairs = pcre2_get_ovector_count(data);
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data);
        m.groups = static_cast<int>(pairs < 10 ? pairs : 10);
        for (int i = 0; i < m.groups; i++) {
            m.ovector[2 * i] = ov[2 * i];
            m.ovector[2 * i + 1] = ov[2 * i + 1];
        }
    }
    pcre2_match_data_free(data);
    return m;
}

// Captures of the pattern, the whole match included.
int capture_count(const pcre2_code* code)
{
    uint32_t n = 0;
    pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &n);
    return static_cast<int>(n) + 1;
}

// The rewrite is checked before any change: a group it names must exist.
bool rewrite_valid(const std::string& rewrite, int captures)
{
    for (size_t i = 0; i < rewrite.size(); i++) {
        if (rewrite[i] != '\\')
            continue;
        if (++i == rewrite.size())
            return false;
        char c = rewrite[i];
        if (c == '\\')
            continue;
        if (c < '0' || c > '9' || c - '0' >= captures)
            return false;
    }
    return true;
}

void append_rewrite(std::string& out, const std::string& rewrite, const std::string& subject, const Match& m)
{
    for (size_t i = 0; i < rewrite.size(); i++) {
        char c = rewrite[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        c = rewrite[++i];
        if (c == '\\') {
            out += '\\';
            continue;
        }
        int n = c - '0';
        if (n >= m.groups || m.ovector[2 * n] == PCRE2_UNSET)
            continue;  // a group that took no part adds nothing
        out.append(subject, m.ovector[2 * n], m.ovector[2 * n + 1] - m.ovector[2 * n]);
    }
}

}  // namespace

PcreRe::PcreRe(const std::string& pattern) : text(pattern)
{
    int error = 0;
    PCRE2_SIZE offset = 0;
    code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), 0, &error, &offset, nullptr);
    if (!code) {
        PCRE2_UCHAR message[256];
        pcre2_get_error_message(error, message, sizeof message);
        why = reinterpret_cast<const char*>(message);
    }
}

PcreRe::~PcreRe() { pcre2_code_free(code); }

PcreRe::PcreRe(PcreRe&& other) noexcept
    : text(std::move(other.text)), why(std::move(other.why)), code(std::exchange(other.code, nullptr))
{
}

PcreRe& PcreRe::operator=(PcreRe&& other) noexcept
{
    if (this != &other) {
        pcre2_code_free(code);
        text = std::move(other.text);
        why = std::move(other.why);
        code = std::exchange(other.code, nullptr);
    }
    return *this;
}

bool PcreRe::PartialMatch(const std::string& subject) const
{
    return code && match_at(code, subject, 0, 0).found;
}

bool PcreRe::Replace(const std::string& rewrite, std::string* subject) const
{
    if (!code || !subject || !rewrite_valid(rewrite, capture_count(code)))
        return false;
    Match m = match_at(code, *subject, 0, 0);
    if (!m.found)
        return false;
    std::string out(*subject, 0, m.ovector[0]);
    append_rewrite(out, rewrite, *subject, m);
    out.append(*subject, m.ovector[1], std::string::npos);
    subject->swap(out);
    return true;
}

int PcreRe::GlobalReplace(const std::string& rewrite, std::string* subject) const
{
    if (!code || !subject || !rewrite_valid(rewrite, capture_count(code)))
        return 0;
    std::string out;
    size_t start = 0;   // where the next search begins
    size_t copied = 0;  // subject bytes already in out
    int count = 0;
    bool lastEmpty = false;
    while (start <= subject->size()) {
        // After an empty match, a non-empty one at the same place is taken;
        // without one the search moves on by a character.
        Match m = match_at(code, *subject, start, lastEmpty ? PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED : 0);
        if (!m.found) {
            if (!lastEmpty)
                break;
            lastEmpty = false;
            start++;
            continue;
        }
        out.append(*subject, copied, m.ovector[0] - copied);
        append_rewrite(out, rewrite, *subject, m);
        copied = m.ovector[1];
        lastEmpty = m.ovector[0] == m.ovector[1];
        start = m.ovector[1];
        count++;
    }
    if (count == 0)
        return 0;
    out.append(*subject, copied, std::string::npos);
    subject->swap(out);
    return count;
}
