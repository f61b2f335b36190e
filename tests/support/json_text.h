// A JSON text as a value, for settings in tests; a text that does not parse
// fails the test.
#pragma once

#include <gtest/gtest.h>

#include "core/json_value.h"

inline JsonValue json_of(const char* text)
{
    JsonValue v;
    MemDataSource source(text);
    EXPECT_TRUE(v.parse(source)) << text;
    return v;
}
