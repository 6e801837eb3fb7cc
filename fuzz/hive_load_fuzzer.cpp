// libFuzzer target: the classes of a hive image read with libhivex; the input is the image itself.
//
// The seeds (corpus/hive_load) are small hives made with tests/hive_fixture.h, so mutations land
// in real key, value and list cells. A mutation of the base block's first 508 bytes breaks its
// checksum and sends the read through the tolerant path, which is fuzzed as well.
//
// Each run checks: the read either succeeds without an error or fails with one, and every message
// names the file; the warnings stay within their limit; the tree holds at most CLSID and
// Wow6432Node\CLSID; every key's subkeys are in the registry's order, without two of one name,
// and point back to it; neither its keys nor its data outgrow the input, whatever loops or
// shared cells the input has.
#include "hive/hive_source.h"
#include "registry/code_page.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "hive_load_fuzzer: %s\n", what);
        std::abort();
    }
}

// The name compared with an ASCII name as the registry compares names.
bool is_ascii_name(const std::string &stored, const char *wanted) {
    std::u16string name = utf16le_bytes_to_text(stored);
    std::u16string ascii(wanted, wanted + std::strlen(wanted));
    return name.size() == ascii.size() &&
           std::equal(name.begin(), name.end(), ascii.begin(), [](char16_t a, char16_t b) {
               return upper_case_unit(a) == upper_case_unit(b);
           });
}

void measure(const MemoryRegistry &tree, const MemoryKey &key, std::size_t &keys,
             std::size_t &data_bytes) {
    ++keys;
    for (const MemoryValue &value : key.values)
        data_bytes += value.data.size();
    for (std::size_t i = 0; i < key.children.size(); ++i) {
        const MemoryKey &child = *key.children[i];
        check(child.parent == &key, "a subkey that does not point back to its key");
        check(i == 0 || memory_compare_names(tree, key.children[i - 1]->name, child.name) < 0,
              "subkeys out of order, or two of one name");
        measure(tree, child, keys, data_bytes);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string image(reinterpret_cast<const char *>(data), size);
    HiveClasses hive;
    std::string error;
    bool read = read_hive_classes("in.hive", image, hive, error);
    check(read == error.empty(), "a failure without an error, or an error on success");
    check(read || error.rfind("in.hive: ", 0) == 0, "an error that does not name the file");
    check(hive.warnings.size() <= 101, "more warnings than the limit");
    for (const std::string &warning : hive.warnings)
        check(warning.rfind("in.hive: ", 0) == 0, "a warning that does not name the file");
    if (!read)
        return 0;

    const MemoryKey &classes = *hive.classes.root;
    check(classes.name.empty() && classes.values.empty(), "the classes root has a name or values");
    check(classes.children.size() <= 2, "more than CLSID and Wow6432Node at the classes root");
    for (const auto &child : classes.children) {
        if (is_ascii_name(child->name, "CLSID"))
            continue;
        check(is_ascii_name(child->name, "Wow6432Node"), "a key other than CLSID or Wow6432Node");
        check(child->values.empty() && child->children.size() == 1 &&
                  is_ascii_name(child->children[0]->name, "CLSID"),
              "Wow6432Node holds more than its CLSID");
    }
    // Each key read is a distinct cell, 4-byte aligned; each data byte is stored once.
    std::size_t keys = 0, data_bytes = 0;
    measure(hive.classes, classes, keys, data_bytes);
    check(keys <= size / 4 + 1, "more keys than the image has room for");
    check(data_bytes <= size, "more data than the image holds");
    return 0;
}
