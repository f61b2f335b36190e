// A compiled Perl-compatible regular expression with the few operations the
// channels use, behaving as the old pcrecpp::RE did: Replace rewrites the
// first match, GlobalReplace every match; a rewrite names the whole match
// as \0 and its groups as \1 to \9, and "\\" is a backslash.
#pragma once

#include <string>

struct pcre2_real_code_8;

class PcreRe {
public:
    // Compiled with default options; a pattern that does not compile leaves
    // the object without an expression (error() says why), and every
    // operation then changes nothing.
    explicit PcreRe(const std::string& pattern = "");
    ~PcreRe();
    PcreRe(const PcreRe&) = delete;
    PcreRe& operator=(const PcreRe&) = delete;
    PcreRe(PcreRe&& other) noexcept;
    PcreRe& operator=(PcreRe&& other) noexcept;

    const std::string& pattern() const { return text; }
    const std::string& error() const { return why; }
    bool ok() const { return code != nullptr; }

    // True when text holds a match (anywhere).
    bool PartialMatch(const std::string& subject) const;
    // Replaces the first match in *subject by rewrite; false (and *subject
    // unchanged) without a match or with a rewrite naming a missing group.
    bool Replace(const std::string& rewrite, std::string* subject) const;
    // Replaces every match; the number of replacements.
    int GlobalReplace(const std::string& rewrite, std::string* subject) const;

private:
    std::string text;
    std::string why;
    pcre2_real_code_8* code = nullptr;
};
