// Base64 with the standard alphabet, "=" fill and no line breaks (SRTP keys,
// random tokens).
#pragma once

#include <cstddef>
#include <string>

int Base64Encode(std::string& out, const void* bytes, size_t length);
std::string Base64Encode(const void* bytes, size_t length);

// Decodes text into a malloc'ed buffer, NUL-terminated after the data, which
// the caller frees. -1 (and *out null) when the text does not decode to the
// length its size and "=" fill promise.
int Base64Decode(const std::string& text, unsigned char** out, int* length);
