// Registries of many classes for the scan benchmark, built into the in-memory stand-in.
#include "bench/benchmark_registry.h"

#include "registry/ascii_text.h"
#include "tests/fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// splitmix64: small, fixed, and the same on every platform.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }
};

// An identifier as the registry writes them, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", with or
// without its braces.
std::string identifier(Random &random, bool braced) {
    std::uint64_t high = random.next(), low = random.next();
    char text[40];
    std::snprintf(text, sizeof text, "%s%08X-%04X-%04X-%04X-%012llX%s", braced ? "{" : "",
                  static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                  static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull), braced ? "}" : "");
    return text;
}

// Words of ordinary class descriptions.
const char *const WORDS[] = {"Widget",  "Shell",   "Explorer", "Folder",   "Printer",  "Media",
                             "Player",  "Control", "Button",   "Document", "Property", "Handler",
                             "Filter",  "Viewer",  "Network",  "Search",   "Preview",  "Update",
                             "Storage", "Sound",   "Camera",   "Display",  "Keyboard", "Mouse",
                             "Font",    "Color",   "Icon",     "Menu",     "Toolbar",  "Picture"};

std::string word(Random &random) {
    return WORDS[random.below(sizeof WORDS / sizeof WORDS[0])];
}

// A capitalised word of 4 to 14 letters made of q and x with no "xx": every pair is q-q, q-x
// or x-q, all below 0.0022, so the letter-pair score is far above the threshold (over 1,300 for
// three pairs, more for longer words).
std::string made_up_word(Random &random) {
    std::size_t letters = 4 + random.below(11);
    std::string text;
    char previous = 'q';
    for (std::size_t i = 0; i < letters; i++) {
        char next = previous == 'x' || random.below(2) == 0 ? 'q' : 'x';
        text += next;
        previous = next;
    }
    text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

// An ordinary description that the random-name rule must not list.
std::string ordinary_description(Random &random, std::size_t index) {
    switch (index % 3) {
    case 0:
        return word(random) + " Class";
    case 1:
        return word(random); // one capitalised word: scored, and well below the threshold
    default:
        return word(random) + " " + word(random) + " Object";
    }
}

const char PREFIX[] = "HKEY_CLASSES_ROOT\\CLSID\\";
const char LABEL_DESCRIPTION[] = "               \t";
const char LABEL_SERVER[] = "\\InprocServer32\t";
const char LABEL_TYPELIB[] = "\\TypeLib       \t";

struct Report {
    std::size_t bytes = 0;
    std::uint64_t hash = FNV_OFFSET;
    void add(const std::string &text) {
        bytes += text.size();
        hash = fnv1a(hash, text.data(), text.size());
    }
    void line(const std::string &key, const char *label, const std::string &value) {
        add(PREFIX + key + label + value + "\n");
    }
};

// One class of the registry. `shape` picks among the usual registrations, all of them near misses
// for the bare-server rule; `bare` makes the bare registration instead.
void add_class(const std::string &key, const std::string &description, bool bare, std::size_t shape,
               Random &random, Report *bare_entry) {
    const std::string path = "CLSID\\" + key;
    std::string name = description.substr(0, description.find(' '));
    std::string server = "C:\\Windows\\System32\\" + ascii_lowered(name) + ".dll";
    fake::add_string(path, "", description);
    if (bare) {
        std::string type_lib = identifier(random, true);
        fake::add_string(path + "\\InprocServer32", "", server);
        fake::add_string(path + "\\TypeLib", "", type_lib);
        if (bare_entry) {
            bare_entry->line(key, LABEL_DESCRIPTION, description);
            bare_entry->line(key, LABEL_SERVER, server);
            bare_entry->line(key, LABEL_TYPELIB, type_lib);
            bare_entry->add("\n");
        }
        return;
    }
    std::string prog_id = "Vendor." + name + ".1";
    switch (shape % 5) {
    case 0: // the usual full registration: the ProgID subkey ends the subkey inventory
        fake::add_string(path + "\\InprocServer32", "", server);
        fake::add_string(path + "\\InprocServer32", "ThreadingModel", "Apartment");
        fake::add_string(path + "\\ProgID", "", prog_id);
        fake::add_string(path + "\\TypeLib", "", identifier(random, true));
        fake::add_string(path + "\\VersionIndependentProgID", "", "Vendor." + name);
        break;
    case 1: // bare but for a ThreadingModel value
        fake::add_string(path + "\\InprocServer32", "", server);
        fake::add_string(path + "\\InprocServer32", "ThreadingModel", "Both");
        fake::add_string(path + "\\TypeLib", "", identifier(random, true));
        break;
    case 2: // bare but for a TypeLib identifier without braces
        fake::add_string(path + "\\InprocServer32", "", server);
        fake::add_string(path + "\\TypeLib", "", identifier(random, false));
        break;
    case 3: // bare but for an AppID value on the class key
        fake::add_string(path, "AppID", identifier(random, true));
        fake::add_string(path + "\\InprocServer32", "", server);
        fake::add_string(path + "\\TypeLib", "", identifier(random, true));
        break;
    default: // a local server
        fake::add_string(path + "\\LocalServer32", "",
                         "C:\\Program Files\\Vendor\\" + name + ".exe");
        fake::add_string(path + "\\ProgID", "", prog_id);
        break;
    }
}

} // namespace

std::uint64_t fnv1a(std::uint64_t hash, const char *bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; i++) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

RegistryFacts build_registry(Rule rule, Mix mix, std::size_t classes) {
    Random random{0x5CA11ED0u + classes * 4 + (rule == Rule::Bare ? 0 : 2) +
                  (mix == Mix::AllMatching ? 0 : 1)};
    // Key names in the order the registry enumerates them, so that every class is appended.
    std::vector<std::string> keys;
    keys.reserve(classes);
    for (std::size_t i = 0; i < classes; i++)
        keys.push_back(identifier(random, true));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());

    fake::add_key("CLSID");
    Report report;
    RegistryFacts facts{keys.size(), 0, 0, 0};
    for (std::size_t i = 0; i < keys.size(); i++) {
        bool matching = mix == Mix::AllMatching || i % 100 == 50;
        facts.matching += matching ? 1 : 0;
        if (rule == Rule::Bare) {
            add_class(keys[i], word(random) + " Class", matching, i, random, &report);
            continue;
        }
        std::string description =
            matching ? made_up_word(random) : ordinary_description(random, i / 5);
        add_class(keys[i], description, false, i, random, nullptr);
        if (matching)
            report.line(keys[i], LABEL_DESCRIPTION, description);
    }
    facts.report_bytes = report.bytes;
    facts.report_hash = report.hash;
    return facts;
}
