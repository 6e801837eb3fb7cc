// Letter case folding of file and variable names as NTFS compares them.
#pragma once

#include <string>
#include <string_view>

// Letter case folding as NTFS compares names: each character of the Basic Multilingual Plane
// by its simple upper-case mapping (a fixed table, files/upper_case_table.inc, not the locale's),
// ASCII letters then written in lower case; bytes that are not UTF-8 are kept as they are.
std::string fold_case(std::string_view text);
bool equal_folded(std::string_view a, std::string_view b);
