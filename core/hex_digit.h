// The value of one hexadecimal digit.
#pragma once

// 0-15, or -1 when c is not a hex digit (EOF included).
inline int hex_digit(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
