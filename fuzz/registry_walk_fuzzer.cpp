// libFuzzer target: both scanners run whole over a registry and fault plan decoded from input.
//
// The input is read front to back (past its end every byte reads as 0); make_seed_corpus.py
// writes inputs in this form and is the easiest place to see it used.
//
//   flags      bit 0: the box is answered Yes (else No)
//              bits 1-2: 3 means the classes go under "CLSID2", so that CLSID cannot be opened
//              bits 3-4: number of fault rules; bits 5-6: number of key deletions
//   fault rule 3 bytes: operation (fake::Op, modulo 15), call number - 1 (among the scan's calls
//              of that operation), mode (bit 0: from then on; bits 1-7: status, STATUSES modulo 6)
//   deletion   3 bytes: call number - 1 (among all the scan's calls), class index (modulo the
//              classes decoded), what (modulo 4: the class key, its InprocServer32, its TypeLib,
//              the CLSID key itself)
//   records    until the input ends, each one kind byte (modulo 4) and its fields:
//              0 class      blob: key name (empty means a braced identifier made from the
//                           class number; '\' and NUL become '_'); later records work on it
//              1 subkey     selector (modulo 8: InprocServer32 twice, TypeLib twice, ProgID,
//                           InProcServer32, typeLib, or a blob name); later records work on it
//              2 value      name selector (< 0xA0 the unnamed default value, else a blob name),
//                           type byte (bits 0-2 pick from VALUE_TYPES, bit 3 leaves the data
//                           without a terminating NUL), blob data
//              3 back       later records work on the class key again
//   blob       one byte b: b < 0xC0 the next b bytes; b < 0xF0 the next ((b - 0xC0) << 8 | byte)
//              bytes; otherwise a 16-bit little-endian count, a fill byte repeated that many
//              times, then a one-byte length and that many more bytes. Cut to the field's limit.
//
// Each run is checked against the registry as it was before the run, read back through the
// platform interface: where no fault reaches the registry or the heap, the box must show exactly
// the expected list; otherwise the list must consist of whole entries of classes that could have
// matched, in enumeration order. Handles, blocks and the clipboard must always be left in order.
#include "barescan/bare_server_rule.h"
#include "namescan/letter_pair_score.h"
#include "namescan/random_name_rule.h"
#include "scanframe/scanframe.h"
#include "tests/fake_platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "registry_walk_fuzzer: %s\n", what.c_str());
    std::abort();
}

void check(bool ok, const char *what) {
    if (!ok)
        fail(what);
}

constexpr std::size_t KEY_NAME_LIMIT = 255;
constexpr std::size_t VALUE_NAME_LIMIT = 16383;
constexpr std::size_t DATA_LIMIT = 16384;

const RegStatus STATUSES[] = {REG_ERROR_ACCESS_DENIED,  REG_ERROR_MORE_DATA,
                              REG_ERROR_NO_MORE_ITEMS,  REG_ERROR_KEY_DELETED,
                              REG_ERROR_FILE_NOT_FOUND, REG_ERROR_OUTOFMEMORY};
// REG_SZ most often, then REG_EXPAND_SZ, REG_NONE, REG_BINARY, REG_DWORD, REG_MULTI_SZ.
const unsigned long VALUE_TYPES[] = {1, 1, 1, 2, 0, 3, 4, 7};

// Reads the input front to back; past the end every byte reads as 0.
struct Cursor {
    const std::uint8_t *at;
    std::size_t left;

    bool done() const { return left == 0; }
    std::uint8_t byte() {
        if (left == 0)
            return 0;
        left--;
        return *at++;
    }
    std::string bytes(std::size_t count) {
        if (count > left)
            count = left;
        std::string taken(reinterpret_cast<const char *>(at), count);
        at += count;
        left -= count;
        return taken;
    }
    std::string blob(std::size_t limit) {
        std::uint8_t b = byte();
        std::string taken;
        if (b < 0xC0) {
            taken = bytes(b);
        } else if (b < 0xF0) {
            std::size_t count = static_cast<std::size_t>(b - 0xC0) << 8;
            taken = bytes(count | byte());
        } else {
            std::size_t count = byte();
            count |= static_cast<std::size_t>(byte()) << 8;
            taken.assign(count, static_cast<char>(byte()));
            taken += bytes(byte());
        }
        if (taken.size() > limit)
            taken.resize(limit);
        return taken;
    }
};

struct FaultRule {
    fake::Op op;
    unsigned long nth;
    bool from_then_on;
    RegStatus status;
};

struct Deletion {
    unsigned long call;
    std::size_t class_index;
    unsigned what;
};

struct Plan {
    bool answer_yes = false;
    bool has_clsid = true;
    std::vector<FaultRule> faults;
    std::vector<Deletion> deletions;
    std::vector<std::string> class_paths;
};

std::string key_name(std::string name) {
    for (char &c : name)
        if (c == '\\' || c == '\0')
            c = '_';
    return name;
}

// Decodes the input into the stand-in's registry and returns the fault plan.
Plan decode(const std::uint8_t *data, std::size_t size) {
    Cursor in{data, size};
    Plan plan;
    std::uint8_t flags = in.byte();
    plan.answer_yes = flags & 1;
    plan.has_clsid = ((flags >> 1) & 3) != 3;
    for (int i = (flags >> 3) & 3; i > 0; i--) {
        fake::Op op = static_cast<fake::Op>(in.byte() % 15);
        unsigned long nth = 1ul + in.byte();
        std::uint8_t mode = in.byte();
        plan.faults.push_back({op, nth, (mode & 1) != 0, STATUSES[(mode >> 1) % 6]});
    }
    for (int i = (flags >> 5) & 3; i > 0; i--) {
        unsigned long call = 1ul + in.byte();
        std::size_t class_index = in.byte();
        plan.deletions.push_back({call, class_index, in.byte() % 4u});
    }

    const std::string root = plan.has_clsid ? "CLSID" : "CLSID2";
    fake::add_key(root);
    std::string class_path = root, current = root;
    while (!in.done()) {
        switch (in.byte() % 4) {
        case 0: {
            std::string name = key_name(in.blob(KEY_NAME_LIMIT));
            if (name.empty()) {
                char braced[40];
                std::snprintf(braced, sizeof braced, "{%08zX-0000-0000-C000-000000000046}",
                              plan.class_paths.size());
                name = braced;
            }
            class_path = current = root + "\\" + name;
            fake::add_key(class_path);
            plan.class_paths.push_back(class_path);
            break;
        }
        case 1: {
            static const char *const NAMES[] = {
                "InprocServer32", "InprocServer32", "TypeLib", "TypeLib",
                "ProgID",         "InProcServer32", "typeLib"};
            std::uint8_t selector = in.byte() % 8;
            std::string name = selector < 7 ? NAMES[selector] : key_name(in.blob(KEY_NAME_LIMIT));
            current = class_path + "\\" + name;
            fake::add_key(current);
            break;
        }
        case 2: {
            std::string name = in.byte() < 0xA0 ? "" : in.blob(VALUE_NAME_LIMIT);
            std::uint8_t type = in.byte();
            std::string value = in.blob(DATA_LIMIT);
            if (!(type & 8))
                value.push_back('\0');
            fake::add_value(current, name, VALUE_TYPES[type & 7], value);
            break;
        }
        default:
            current = class_path;
            break;
        }
    }
    return plan;
}

// ---------------------------------------------------------------------------------------------
// The registry before the run, read back through the platform interface with ample buffers.

struct ValueCopy {
    std::string name;
    unsigned long type;
    std::string data;
};

struct KeyCopy {
    std::string name;
    std::vector<ValueCopy> values;
    std::vector<KeyCopy> subkeys;
};

std::vector<std::string> subkey_names(RegKey key) {
    std::vector<std::string> names;
    char name[NAME_BUFFER_CHARS];
    for (unsigned long index = 0;; index++) {
        unsigned long chars = sizeof name;
        if (reg_enum_key(key, index, name, &chars) != REG_SUCCESS)
            return names;
        names.emplace_back(name, chars);
    }
}

KeyCopy copy_key(RegKey parent, const std::string &name, int depth) {
    KeyCopy copy{name, {}, {}};
    RegKey key = nullptr;
    if (reg_open_key(parent, name.c_str(), CLASS_KEY_ACCESS, &key) != REG_SUCCESS)
        fail("the registry cannot be read back");
    static std::vector<char> value_name(VALUE_NAME_LIMIT + 2);
    for (unsigned long index = 0;; index++) {
        unsigned long chars = static_cast<unsigned long>(value_name.size()), type = 0, bytes = 0;
        if (reg_enum_value(key, index, &value_name[0], &chars, &type, nullptr, &bytes) !=
            REG_SUCCESS)
            break;
        std::string data(bytes + 1, '\0');
        chars = static_cast<unsigned long>(value_name.size());
        if (reg_enum_value(key, index, &value_name[0], &chars, &type,
                           reinterpret_cast<unsigned char *>(&data[0]), &bytes) != REG_SUCCESS)
            fail("a value cannot be read back");
        data.resize(bytes);
        copy.values.push_back({std::string(&value_name[0], chars), type, data});
    }
    if (depth > 0)
        for (const std::string &subkey : subkey_names(key))
            copy.subkeys.push_back(copy_key(key, subkey, depth - 1));
    reg_close_key(key);
    return copy;
}

// The classes under CLSID in enumeration order; none when CLSID is missing.
std::vector<KeyCopy> copy_classes() {
    RegKey clsid = nullptr;
    if (reg_open_key(reg_classes_root(), "CLSID", CLSID_KEY_ACCESS, &clsid) != REG_SUCCESS)
        return {};
    std::vector<KeyCopy> classes;
    for (const std::string &name : subkey_names(clsid))
        classes.push_back(copy_key(clsid, name, 1));
    reg_close_key(clsid);
    return classes;
}

// ---------------------------------------------------------------------------------------------
// What each rule lists, written plainly from the rules.

const std::string PREFIX = "HKEY_CLASSES_ROOT\\CLSID\\";
const std::string LABEL_DESCRIPTION_FIELD = std::string(15, ' ') + "\t";
const std::string LABEL_INPROC_FIELD = "\\InprocServer32\t";
const std::string LABEL_TYPELIB_FIELD = "\\TypeLib" + std::string(7, ' ') + "\t";

// The text that reading the default string accepts: the value at index 0, unnamed, REG_SZ, of
// at most 1024 bytes, up to its first NUL.
bool default_string(const KeyCopy &key, std::string *text) {
    if (key.values.empty())
        return false;
    const ValueCopy &value = key.values[0];
    if (!value.name.empty() || value.type != 1 || value.data.size() > 1024)
        return false;
    *text = value.data.substr(0, value.data.find('\0'));
    return true;
}

const KeyCopy *subkey(const KeyCopy &key, const char *name) {
    for (const KeyCopy &sub : key.subkeys)
        if (sub.name == name)
            return &sub;
    return nullptr;
}

std::string line(const std::string &name, const std::string &label, const std::string &value) {
    return PREFIX + name + label + value + "\n";
}

// The bare-server entry of a class, or "". With `strict` unset the conditions that a failing
// registry call can waive (further subkeys, second values) are left out, which gives every entry
// that a run with faults may list.
std::string bare_entry(const KeyCopy &cls, bool strict) {
    const KeyCopy *inproc = subkey(cls, "InprocServer32");
    const KeyCopy *type_lib = subkey(cls, "TypeLib");
    std::string description, server, type_lib_text;
    if (!inproc || !type_lib || !default_string(cls, &description) ||
        !default_string(*inproc, &server) || !default_string(*type_lib, &type_lib_text))
        return "";
    const std::string &raw = type_lib->values[0].data;
    if (raw.size() != 39 || raw[0] != '{' || raw[37] != '}')
        return "";
    if (strict) {
        for (const KeyCopy &sub : cls.subkeys)
            if (sub.name != "InprocServer32" && sub.name != "TypeLib")
                return "";
        // A second value counts even when its name is too long for the name buffer.
        if (cls.values.size() > 1 || inproc->values.size() > 1 || type_lib->values.size() > 1)
            return "";
    }
    return line(cls.name, LABEL_DESCRIPTION_FIELD, description) +
           line(cls.name, LABEL_INPROC_FIELD, server) +
           line(cls.name, LABEL_TYPELIB_FIELD, type_lib_text) + "\n";
}

bool is_capitalized(const std::string &text) {
    for (std::size_t i = 0; i < text.size(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (i == 0 ? c < 'A' || c > 'Z' : c < 'a' || c > 'z')
            return false;
    }
    return !text.empty();
}

// The random-name entry of a class, or "". No registry failure can waive any of its conditions.
std::string name_entry(const KeyCopy &cls) {
    std::string description;
    if (!default_string(cls, &description) || !is_capitalized(description) ||
        !(letter_pair_score(description.c_str()) > 1000.0))
        return "";
    return line(cls.name, LABEL_DESCRIPTION_FIELD, description);
}

// Whether `list` is a concatenation of some of `entries`, each used at most once, in order.
bool is_ordered_selection(const std::string &list, const std::vector<std::string> &entries) {
    std::vector<char> reached(list.size() + 1, 0);
    reached[0] = 1;
    for (const std::string &entry : entries) {
        if (entry.empty())
            continue;
        // Backwards, so that an entry is not used twice in a row.
        for (std::size_t at = list.size() + 1; at-- > 0;)
            if (reached[at] && entry.size() <= list.size() - at &&
                list.compare(at, entry.size(), entry) == 0)
                reached[at + entry.size()] = 1;
    }
    return reached[list.size()] != 0;
}

// ---------------------------------------------------------------------------------------------
// One run and its checks.

struct Run {
    const Plan *plan;
    std::vector<FaultRule> rules; // with call numbers counted from the stand-in's start
    std::vector<Deletion> deletions;
    bool global_free_failed;
};

Run current_run;

// Runs before every platform call: carries out the deletions, and notes whether a rule fails a
// GlobalFree, since a block whose release the system refuses stays allocated.
void on_platform_call(fake::Op op, unsigned long call_number) {
    for (const Deletion &deletion : current_run.deletions) {
        if (deletion.call != call_number || current_run.plan->class_paths.empty())
            continue;
        const std::vector<std::string> &paths = current_run.plan->class_paths;
        const std::string &cls = paths[deletion.class_index % paths.size()];
        static const char *const SUFFIXES[] = {"", "\\InprocServer32", "\\TypeLib"};
        fake::delete_key(deletion.what == 3 ? std::string("CLSID") : cls + SUFFIXES[deletion.what]);
    }
    if (op != fake::Op::GlobalFree)
        return;
    for (const FaultRule &rule : current_run.rules) {
        unsigned long number = rule.op == fake::Op::Any ? call_number
                               : rule.op == op          ? fake::call_count(op)
                                                        : 0;
        if (number != 0 && (number == rule.nth || (rule.from_then_on && number > rule.nth)))
            current_run.global_free_failed = true;
    }
}

std::string without_refused_free(std::string problems) {
    const std::string leak = "global block leaked\n";
    for (std::size_t at; (at = problems.find(leak)) != std::string::npos;)
        problems.erase(at, leak.size());
    return problems;
}

// Runs one scanner over the registry that `plan` was decoded with, which the stand-in holds now,
// and checks the outcome against `classes`, the same registry read back before.
void scan_and_check(const Plan &plan, const std::vector<KeyCopy> &classes, bool bare) {
    std::string expected;
    std::vector<std::string> strict, possible;
    for (const KeyCopy &cls : classes) {
        strict.push_back(bare ? bare_entry(cls, true) : name_entry(cls));
        possible.push_back(bare ? bare_entry(cls, false) : name_entry(cls));
        expected += strict.back();
    }

    // What the faults can reach: each check below holds where nothing it depends on can fail.
    bool registry_intact = plan.deletions.empty(), heap_intact = true, showing_intact = true,
         copying_intact = true;
    for (const FaultRule &rule : plan.faults) {
        switch (rule.op) {
        case fake::Op::OpenKey:
        case fake::Op::EnumKey:
        case fake::Op::EnumValue:
            registry_intact = false;
            break;
        case fake::Op::HeapAlloc:
            heap_intact = false;
            break;
        case fake::Op::MessageBox:
        case fake::Op::GlobalAlloc:
        case fake::Op::GlobalLock:
            showing_intact = false;
            break;
        case fake::Op::ClipboardOpen:
        case fake::Op::ClipboardSetData:
            copying_intact = false;
            break;
        case fake::Op::Any:
            registry_intact = heap_intact = showing_intact = copying_intact = false;
            break;
        default: // a failed close, unlock, free or empty changes nothing that is shown or copied
            break;
        }
    }

    // The plan counts calls from the start of the scan; the read-back made some already.
    current_run = Run{&plan, {}, {}, false};
    for (FaultRule rule : plan.faults) {
        rule.nth += fake::call_count(rule.op);
        fake::fail_call(rule.op, rule.nth, rule.from_then_on, rule.status);
        current_run.rules.push_back(rule);
    }
    for (Deletion deletion : plan.deletions) {
        deletion.call += fake::call_count(fake::Op::Any);
        current_run.deletions.push_back(deletion);
    }
    fake::on_call(on_platform_call);
    fake::set_box_answer(plan.answer_yes ? BOX_ANSWER_YES : 7);

    check(scan_main(bare ? bare_server_rule : random_name_rule) == 0, "the exit code is not 0");
    fake::on_call(nullptr);

    std::string problems = fake::problems();
    if (current_run.global_free_failed)
        problems = without_refused_free(problems);
    if (!problems.empty())
        fail("the stand-in found problems:\n" + problems);

    // The box: at most one, with the caption, and one of the two messages or the list.
    const std::vector<fake::BoxShown> &boxes = fake::boxes_shown();
    check(boxes.size() <= 1, "more than one message box");
    const std::string question = TEXT_COPY_QUESTION;
    bool out_of_memory = false, nothing_found = false, list_shown = false;
    std::string list;
    if (!boxes.empty()) {
        const fake::BoxShown &box = boxes[0];
        check(box.caption == "tovrik", "the caption is not tovrik");
        out_of_memory = box.text == TEXT_OUT_OF_MEMORY;
        nothing_found = box.text == TEXT_NOTHING_FOUND;
        if (out_of_memory || nothing_found) {
            check(box.style == BOX_OK, "a plain message without MB_OK");
        } else {
            check(box.style == BOX_YESNO_DEFAULT_NO, "the list without Yes/No, default No");
            list_shown = true;
            list = box.text;
            if (list.size() >= question.size() &&
                list.compare(list.size() - question.size(), question.size(), question) == 0)
                list.resize(list.size() - question.size());
            check(!list.empty(), "an empty list shown");
        }
    }
    check(!out_of_memory || !heap_intact, "out of memory without a failing allocation");
    check(plan.has_clsid || boxes.empty() || out_of_memory, "a list without a CLSID key");

    // The list: whole entries of classes in enumeration order. A failing registry call can only
    // waive conditions of the bare rule, and a failing allocation only drop whole entries.
    if (list_shown && !is_ordered_selection(list, registry_intact ? strict : possible))
        fail("the list is not whole entries of possible classes in order:\n" + list);
    if (registry_intact && heap_intact) {
        check(!out_of_memory, "out of memory without a failing allocation");
        check(!nothing_found || expected.empty(), "nothing found, but there was");
        check(!list_shown || boxes[0].text == expected + question, "not the expected list");
        if (showing_intact && plan.has_clsid)
            check(expected.empty() ? nothing_found : list_shown, "the expected box was not shown");
    }

    // The clipboard: the list alone, as OEM text, after a Yes and only then.
    const fake::ClipboardState &clipboard = fake::clipboard();
    if (clipboard.holds_data) {
        check(list_shown && plan.answer_yes, "the clipboard was filled without a Yes");
        check(clipboard.format == CLIPBOARD_FORMAT_OEMTEXT, "the clipboard format is not OEMTEXT");
        check(clipboard.bytes == list + std::string(1, '\0'), "the clipboard is not the list");
    }
    if (!list_shown || !plan.answer_yes)
        check(clipboard.opened == 0 && clipboard.emptied == 0, "the clipboard was touched");
    else if (copying_intact)
        check(clipboard.holds_data, "a Yes did not fill the clipboard");
    if (list_shown)
        check(fake::global_blocks_allocated() == 1, "not one global block for the list");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fake::reset();
    Plan plan = decode(data, size);
    std::vector<KeyCopy> classes = copy_classes();
    check(fake::open_key_count() == 0, "reading the registry back left a key open");
    scan_and_check(plan, classes, true);
    fake::reset();
    plan = decode(data, size);
    scan_and_check(plan, classes, false);
    fake::reset();
    return 0;
}
