// Whole files read and written as text, for tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

inline std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Creates the missing directories first.
inline void spill(const std::string& path, const std::string& text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}
