// libFuzzer target: the .reg export reader over arbitrary bytes taken as a file.
//
// The input is read with code pages 932 and 1252. Checked: a failure leaves the result empty and
// gives one line "line N: ..." with N within the file (or the code page / memory message, or
// that the file holds the classes of more than one user); a success came after a header
// looks_like_reg_export also finds, and yields trees with named keys no deeper than the limit, no
// two siblings and no two values of a key whose names differ only in ASCII case, and nothing on a
// side no key section went to. A file read as UTF-8 or 8-bit text
// must read the same, error included, when its text is given as UTF-16LE with a BOM instead.
#include "evidence/reg_export.h"
#include "registry/code_page.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool ok, const char *what, const std::string &input) {
    if (ok)
        return;
    std::fprintf(stderr, "reg_export_fuzzer: %s; input of %zu bytes:", what, input.size());
    for (unsigned char c : input.substr(0, 512))
        std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

std::u16string ascii_upper(std::u16string name) {
    for (char16_t &c : name)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 0x20);
    return name;
}

template <class Item> bool names_distinct(const std::vector<Item> &items) {
    std::vector<std::u16string> names;
    for (const Item &item : items)
        names.push_back(ascii_upper(item.name));
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) == names.end();
}

void check_tree(const SourceKey &key, std::size_t depth, const std::string &input) {
    check(depth <= REG_EXPORT_MAX_DEPTH, "key deeper than the limit", input);
    check(depth == 0 || !key.name.empty(), "key without a name", input);
    check(names_distinct(key.children), "siblings whose names differ only in case", input);
    check(names_distinct(key.values), "values whose names differ only in case", input);
    for (const SourceKey &child : key.children)
        check_tree(child, depth + 1, input);
}

bool same_key(const SourceKey &a, const SourceKey &b) {
    if (a.name != b.name || a.values.size() != b.values.size() ||
        a.children.size() != b.children.size())
        return false;
    for (std::size_t i = 0; i < a.values.size(); i++)
        if (a.values[i].name != b.values[i].name || a.values[i].type != b.values[i].type ||
            a.values[i].data != b.values[i].data)
            return false;
    for (std::size_t i = 0; i < a.children.size(); i++)
        if (!same_key(a.children[i], b.children[i]))
            return false;
    return true;
}

bool same_result(const RegExportClasses &a, const RegExportClasses &b) {
    return a.has_machine == b.has_machine && a.has_user == b.has_user &&
           same_key(a.machine, b.machine) && same_key(a.user, b.user);
}

bool starts_with(const std::string &text, const char *prefix) {
    return text.compare(0, std::string(prefix).size(), prefix) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    const bool looks = looks_like_reg_export(input);
    const std::size_t line_ends =
        static_cast<std::size_t>(std::count(input.begin(), input.end(), '\n') +
                                 std::count(input.begin(), input.end(), '\r'));
    const bool marked = starts_with(input, "\xFF\xFE") || starts_with(input, "\xFE\xFF") ||
                        starts_with(input, "\xEF\xBB\xBF");
    for (unsigned code_page : {932u, 1252u}) {
        RegExportClasses out;
        std::string error;
        const bool ok = read_reg_export(input, code_page, out, error);
        if (ok) {
            check(looks && error.empty(), "read, but looks_like_reg_export disagrees", input);
            check(out.has_machine || (out.machine.children.empty() && out.machine.values.empty()),
                  "machine classes without a machine key section", input);
            check(out.has_user || (out.user.children.empty() && out.user.values.empty()),
                  "user classes without a user key section", input);
            check_tree(out.machine, 0, input);
            check_tree(out.user, 0, input);
        } else {
            check(same_result(out, RegExportClasses()), "failure left a result", input);
            check(error.find_first_of("\r\n") == std::string::npos, "error of two lines", input);
            const unsigned long line = std::strtoul(error.c_str() + 5, nullptr, 10);
            check(error == "not enough memory to read the file" ||
                      starts_with(error, "holds the classes of more than one user (") ||
                      (starts_with(error, "line ") && line >= 1 && line <= line_ends + 1 &&
                       error.find(": ") != std::string::npos),
                  "error without a line number within the file", input);
        }
        if (marked)
            continue;
        // The same text as UTF-16LE.
        std::u16string text;
        if (!utf8_to_utf16(input, text))
            text = code_page_to_utf16(code_page, input);
        RegExportClasses wide_out;
        std::string wide_error;
        const bool wide_ok = read_reg_export("\xFF\xFE" + text_to_utf16le_bytes(text), code_page,
                                             wide_out, wide_error);
        check(wide_ok == ok && wide_error == error && same_result(out, wide_out),
              "UTF-16LE text reads differently", input);
    }
    return 0;
}
