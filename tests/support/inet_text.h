// Addresses written as text, for tests.
#pragma once

#include <arpa/inet.h>

inline in_addr v4(const char* text)
{
    in_addr a;
    inet_pton(AF_INET, text, &a);
    return a;
}

inline in6_addr v6(const char* text)
{
    in6_addr a;
    inet_pton(AF_INET6, text, &a);
    return a;
}
