// Registries of many classes for the scan benchmark, built into the in-memory stand-in.
#pragma once

#include <cstddef>
#include <cstdint>

enum class Rule { Bare, Name };

// Every class matching the rule (the largest report), or one class in a hundred matching and
// the others near misses (the usual case: ProgID subkeys, ThreadingModel values, descriptions
// like "Widget Class").
enum class Mix { AllMatching, OnePercent };

struct RegistryFacts {
    std::size_t classes;
    std::size_t matching;
    // The report the rule must write for this registry: its length, and its FNV-1a hash.
    std::size_t report_bytes;
    std::uint64_t report_hash;
};

// Adds `classes` classes under HKEY_CLASSES_ROOT\CLSID of the stand-in, in the order the walk
// enumerates them, and works out the report the rule must write. The same arguments always give
// the same registry.
RegistryFacts build_registry(Rule rule, Mix mix, std::size_t classes);

// FNV-1a over `bytes`, continuing from `hash` (start with FNV_OFFSET).
constexpr std::uint64_t FNV_OFFSET = 14695981039346656037ull;
std::uint64_t fnv1a(std::uint64_t hash, const char *bytes, std::size_t length);
