// Both programs against every single failing call of the platform, and a registry that changes.
#include "barescan/bare_server_rule.h"
#include "namescan/random_name_rule.h"
#include "tests/stand_in_test.h"

#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

// The status an injected registry failure answers, so the failed call can be found again.
constexpr RegStatus INJECTED = 0x7E57;

const std::string TYPE_LIB = "{00020430-0000-0000-C000-000000000046}";

struct Program {
    const char *name;
    ClassRule test;
    void (*build_registry)();
};

void add_bare(const std::string &key) {
    fake::add_string("CLSID\\" + key, "", "Desc " + key);
    fake::add_string("CLSID\\" + key + "\\InprocServer32", "", "C:\\" + key + ".dll");
    fake::add_string("CLSID\\" + key + "\\TypeLib", "", TYPE_LIB);
}

// Matches and near misses, so that every check of each rule runs.
void build_bare_registry() {
    add_bare("{1-bare}");
    add_bare("{2-progid}");
    fake::add_key("CLSID\\{2-progid}\\ProgID");
    add_bare("{3-bare}");
    add_bare("{4-threading}");
    fake::add_string("CLSID\\{4-threading}\\InprocServer32", "ThreadingModel", "Both");
    fake::add_string("CLSID\\{5-plain}", "", "Widget");
    add_bare("{6-bare}");
}

void build_name_registry() {
    fake::add_string("CLSID\\{1}", "", "Qj");
    fake::add_string("CLSID\\{2}", "", "Qu");
    fake::add_string("CLSID\\{3}", "", "Xz");
    fake::add_string("CLSID\\{3}", "Extra", "v");
    fake::add_key("CLSID\\{4}");
    fake::add_string("CLSID\\{5}", "", "Qxq");
}

const Program PROGRAMS[] = {{"clsid-bare-scan", bare_server_rule, build_bare_registry},
                            {"clsid-name-scan", random_name_rule, build_name_registry}};

struct Outcome {
    std::vector<fake::BoxShown> boxes;
    bool clipboard_holds = false;
    std::string clipboard;
    int exit_code = -1;
    std::string problems;
};

// What happened at the failing call: which operation, and the registry call just before it.
struct FailurePoint {
    fake::Op op = fake::Op::Any;
    bool after_global_alloc = false;
    bool seen = false;
    bool global_free_failed = false;
    std::string last_registry_path;
};

Outcome run(const Program &program, fake::Op op, unsigned long nth, bool from_then_on,
            FailurePoint *point) {
    fake::reset();
    program.build_registry();
    if (nth > 0)
        fake::fail_call(op, nth, from_then_on, INJECTED);
    fake::on_call([point, op, nth, from_then_on](fake::Op called, unsigned long any_number) {
        if (!point)
            return;
        if (called == fake::Op::GlobalAlloc && !point->seen)
            point->after_global_alloc = true;
        if (op != fake::Op::Any && called != op)
            return;
        unsigned long number = op == fake::Op::Any ? any_number : fake::call_count(called);
        bool failing = number == nth || (from_then_on && number > nth);
        // A block whose release fails stays allocated: nothing the program can do about it.
        if (failing && called == fake::Op::GlobalFree)
            point->global_free_failed = true;
        if (number == nth) {
            point->seen = true;
            point->op = called;
            const auto &calls = fake::registry_calls();
            point->last_registry_path = calls.empty() ? "" : calls.back().key_path;
        }
    });
    fake::set_box_answer(BOX_ANSWER_YES);
    Outcome outcome;
    outcome.exit_code = scan_main(program.test);
    outcome.boxes = fake::boxes_shown();
    outcome.clipboard_holds = fake::clipboard().holds_data;
    outcome.clipboard = fake::clipboard().bytes;
    outcome.problems = fake::problems();
    fake::on_call(nullptr);
    return outcome;
}

// The fault-free outcome: every class in enumeration order, its subkey count, and its entry.
struct FullList {
    std::vector<std::string> classes;
    std::map<std::string, unsigned long> subkeys_of;
    std::map<std::string, std::string> entry_of; // listed classes only
};

unsigned long count_subkeys(RegKey key) {
    char name[NAME_BUFFER_CHARS];
    unsigned long count = 0;
    for (unsigned long chars = NAME_BUFFER_CHARS;
         reg_enum_key(key, count, name, &chars) == REG_SUCCESS; chars = NAME_BUFFER_CHARS)
        count++;
    return count;
}

// Reads the registry the program just scanned, and splits its fault-free list into entries.
FullList full_list(const std::string &list) {
    FullList full;
    RegKey clsid = nullptr;
    EXPECT_EQ(reg_open_key(reg_classes_root(), "CLSID", CLSID_KEY_ACCESS, &clsid), REG_SUCCESS);
    char name[NAME_BUFFER_CHARS];
    for (unsigned long index = 0, chars = NAME_BUFFER_CHARS;
         reg_enum_key(clsid, index, name, &chars) == REG_SUCCESS;
         index++, chars = NAME_BUFFER_CHARS) {
        RegKey cls = nullptr;
        EXPECT_EQ(reg_open_key(clsid, name, CLASS_KEY_ACCESS, &cls), REG_SUCCESS);
        full.classes.push_back(name);
        full.subkeys_of[name] = count_subkeys(cls);
        reg_close_key(cls);
    }
    reg_close_key(clsid);

    const std::string prefix = "HKEY_CLASSES_ROOT\\CLSID\\";
    std::string last;
    for (std::size_t at = 0; at < list.size();) {
        std::size_t end = list.find('\n', at);
        std::string line = list.substr(at, end + 1 - at);
        at = end + 1;
        if (line != "\n") // the bare rule's empty line belongs to the entry before it
            last = line.substr(prefix.size(),
                               line.find_first_of("\\ ", prefix.size()) - prefix.size());
        full.entry_of[last] += line;
    }
    return full;
}

// The entries of the classes enumerated before `before_index`, leaving out `dropped`.
std::string list_without(const FullList &full, const std::string &dropped,
                         std::size_t before_index = SIZE_MAX) {
    std::string list;
    for (std::size_t i = 0; i < full.classes.size() && i < before_index; i++) {
        auto entry = full.entry_of.find(full.classes[i]);
        if (entry != full.entry_of.end() && full.classes[i] != dropped)
            list += entry->second;
    }
    return list;
}

// The class (key name under CLSID) that a registry path belongs to, or "".
std::string class_of(const std::string &path) {
    const std::string clsid = "CLSID\\";
    if (path.compare(0, clsid.size(), clsid) != 0)
        return "";
    std::string rest = path.substr(clsid.size());
    return rest.substr(0, rest.find('\\'));
}

std::string shown_list(const Outcome &outcome);

// The list of a fault-free run over the registry in which the key at `path` keeps only its
// first value: what a failed second-value probe of that key makes the rule see. (`path` is a
// copy: the stand-in is reset here, and with it the call records it may come from.)
std::string list_with_first_value_only(const Program &program, std::string path) {
    Outcome outcome;
    fake::reset();
    program.build_registry();
    RegKey key = nullptr;
    EXPECT_EQ(reg_open_key(reg_classes_root(), path.c_str(), CLASS_KEY_ACCESS, &key), REG_SUCCESS);
    std::vector<std::string> later_names;
    char name[NAME_BUFFER_CHARS];
    for (unsigned long index = 1, chars = NAME_BUFFER_CHARS;
         reg_enum_value(key, index, name, &chars, nullptr, nullptr, nullptr) == REG_SUCCESS;
         index++, chars = NAME_BUFFER_CHARS)
        later_names.push_back(name);
    reg_close_key(key);
    for (const std::string &later : later_names)
        fake::delete_value(path, later);
    fake::set_box_answer(BOX_ANSWER_YES);
    EXPECT_EQ(scan_main(program.test), 0);
    outcome.boxes = fake::boxes_shown();
    return shown_list(outcome);
}

// The list the rules give when exactly one call fails, or "(no box)" when nothing is shown.
std::string expected_list(const Program &program, const FullList &full, const FailurePoint &point,
                          const fake::Call *failed_registry_call) {
    switch (point.op) {
    case fake::Op::GlobalAlloc:
    case fake::Op::GlobalLock:
    case fake::Op::MessageBox:
        return "(no box)";
    case fake::Op::HeapAlloc:
        if (point.after_global_alloc)
            return list_without(full, ""); // the question is left out
        // The entry being appended when memory ran out is dropped whole.
        return list_without(full, class_of(point.last_registry_path));
    case fake::Op::OpenKey:
    case fake::Op::EnumKey:
    case fake::Op::EnumValue: {
        const fake::Call &call = *failed_registry_call;
        if (call.op == fake::Op::OpenKey && call.key_path.empty())
            return "(no box)"; // CLSID itself
        if (call.op == fake::Op::EnumKey && call.key_path == "CLSID")
            return list_without(full, "", call.index); // the walk ends with what it found
        if (call.op == fake::Op::OpenKey && call.key_path == "CLSID")
            return list_without(full, call.name); // the class is skipped
        // Inside a class rule. A failed second-value probe answers "no second value".
        if (call.op == fake::Op::EnumValue && call.index == 1)
            return list_with_first_value_only(program, call.key_path);
        // A failed enumeration past the last subkey ends the inventory as its normal end does.
        std::string cls = class_of(call.key_path);
        bool harmless = call.op == fake::Op::EnumKey && call.key_path == "CLSID\\" + cls &&
                        call.index >= full.subkeys_of.at(cls);
        return list_without(full, harmless ? "" : cls);
    }
    default: // closing, unlocking, emptying: nothing depends on their result
        return list_without(full, "");
    }
}

std::string shown_list(const Outcome &outcome) {
    if (outcome.boxes.empty())
        return "(no box)";
    std::string text = outcome.boxes[0].text;
    if (text == TEXT_NOTHING_FOUND)
        return "";
    std::size_t question = text.rfind(TEXT_COPY_QUESTION);
    if (question != std::string::npos && question + std::strlen(TEXT_COPY_QUESTION) == text.size())
        text.erase(question);
    return text;
}

} // namespace

// Call N of the whole run fails, for every N until a run meets no failure. Each run must end
// cleanly with exit 0 and show exactly what the rules give for that one failure.
TEST(FaultSweep, EverySingleFailingCallHasTheOutcomeTheRulesGive) {
    for (const Program &program : PROGRAMS) {
        Outcome clean = run(program, fake::Op::Any, 0, false, nullptr);
        ASSERT_EQ(clean.problems, "");
        unsigned long calls_in_a_clean_run = fake::call_count(fake::Op::Any);
        FullList full = full_list(clean.clipboard.substr(0, clean.clipboard.size() - 1));
        unsigned long fault_points = 0;
        for (unsigned long nth = 1;; nth++) {
            FailurePoint point;
            Outcome outcome = run(program, fake::Op::Any, nth, false, &point);
            if (!point.seen)
                break;
            fault_points++;
            std::string where = std::string(program.name) + ": call " + std::to_string(nth) + " (" +
                                fake::op_name(point.op) + ")";
            EXPECT_EQ(outcome.exit_code, 0) << where;
            EXPECT_EQ(outcome.problems, "") << where;
            ASSERT_LE(outcome.boxes.size(), 1u) << where;
            const fake::Call *failed = nullptr;
            for (const fake::Call &call : fake::registry_calls())
                if (call.status == INJECTED)
                    failed = &call;
            if (nth == 1) {
                // The report's first byte: only the out-of-memory message.
                ASSERT_EQ(outcome.boxes.size(), 1u);
                EXPECT_EQ(outcome.boxes[0].text, TEXT_OUT_OF_MEMORY);
                continue;
            }
            std::string expected = expected_list(program, full, point, failed);
            EXPECT_EQ(shown_list(outcome), expected) << where;
            bool list_shown = expected != "(no box)" && !expected.empty();
            bool copied = list_shown && point.op != fake::Op::ClipboardOpen &&
                          point.op != fake::Op::ClipboardSetData;
            EXPECT_EQ(outcome.clipboard_holds, copied) << where;
            if (copied) {
                EXPECT_EQ(outcome.clipboard, expected + std::string(1, '\0')) << where;
            }
            if (list_shown) {
                bool question_expected =
                    !(point.op == fake::Op::HeapAlloc && point.after_global_alloc);
                EXPECT_EQ(outcome.boxes[0].text,
                          expected + (question_expected ? TEXT_COPY_QUESTION : ""))
                    << where;
                EXPECT_EQ(outcome.boxes[0].style, BOX_YESNO_DEFAULT_NO) << where;
            }
        }
        std::cout << program.name << ": " << fault_points << " fault points, each failed once\n";
        EXPECT_EQ(fault_points, calls_in_a_clean_run);
    }
}

// Every operation fails from its Nth call on. Each run ends cleanly, exit 0, showing whole
// entries of the full list in order, and never a copy that differs from what was shown.
TEST(FaultSweep, FailingFromTheNthCallOnEndsCleanlyWithWholeEntries) {
    const fake::Op ops[] = {fake::Op::OpenKey,
                            fake::Op::EnumKey,
                            fake::Op::EnumValue,
                            fake::Op::HeapAlloc,
                            fake::Op::GlobalAlloc,
                            fake::Op::GlobalLock,
                            fake::Op::MessageBox,
                            fake::Op::ClipboardOpen,
                            fake::Op::ClipboardSetData,
                            fake::Op::CloseKey,
                            fake::Op::Any};
    for (const Program &program : PROGRAMS) {
        Outcome clean = run(program, fake::Op::Any, 0, false, nullptr);
        FullList full = full_list(clean.clipboard.substr(0, clean.clipboard.size() - 1));
        std::vector<std::string> entries;
        for (const std::string &cls : full.classes)
            if (full.entry_of.count(cls))
                entries.push_back(full.entry_of[cls]);
        unsigned long fault_points = 0;
        for (fake::Op op : ops) {
            for (unsigned long nth = 1;; nth++) {
                FailurePoint point;
                Outcome outcome = run(program, op, nth, true, &point);
                if (!point.seen)
                    break;
                fault_points++;
                std::string where = std::string(program.name) + ": " + fake::op_name(op) +
                                    " from call " + std::to_string(nth);
                EXPECT_EQ(outcome.exit_code, 0) << where;
                EXPECT_EQ(outcome.problems,
                          point.global_free_failed && outcome.problems == "global block leaked\n"
                              ? outcome.problems
                              : "")
                    << where;
                ASSERT_LE(outcome.boxes.size(), 1u) << where;
                std::string shown = shown_list(outcome);
                if (shown == "(no box)" || outcome.boxes[0].text == TEXT_OUT_OF_MEMORY)
                    continue;
                // Whole entries of the full list, in order.
                std::size_t next = 0;
                for (std::size_t at = 0; at < shown.size(); at += entries[next++].size()) {
                    while (next < entries.size() &&
                           shown.compare(at, entries[next].size(), entries[next]) != 0)
                        next++;
                    ASSERT_LT(next, entries.size()) << where << ": stray text at " << at;
                }
                if (outcome.clipboard_holds) {
                    EXPECT_EQ(outcome.clipboard, shown + std::string(1, '\0')) << where;
                }
            }
        }
        std::cout << program.name << ": " << fault_points
                  << " fault points, failing from then on\n";
    }
}

class ChangingRegistryTest : public StandInTest {
  protected:
    std::string scan(ClassRule test) {
        fake::set_box_answer(BOX_ANSWER_YES);
        EXPECT_EQ(scan_main(test), 0);
        const std::string &bytes = fake::clipboard().bytes;
        return fake::clipboard().holds_data ? bytes.substr(0, bytes.size() - 1) : "";
    }
};

// The walk enumerates the live key by index: once {1} is gone, index 1 is {3}, so {2} is not
// visited either. Nothing is listed that was not there, and every handle is closed.
TEST_F(ChangingRegistryTest, AClassDeletedAfterItWasEnumeratedIsSkipped) {
    for (const char *key : {"{1}", "{2}", "{3}"})
        add_bare(key);
    fake::on_call([](fake::Op op, unsigned long) {
        if (op == fake::Op::OpenKey && fake::call_count(fake::Op::OpenKey) == 2)
            fake::delete_key("CLSID\\{1}"); // between its enumeration and its open
    });
    std::string list = scan(bare_server_rule);
    EXPECT_EQ(list.find("{1}"), std::string::npos);
    EXPECT_EQ(list.find("{2}"), std::string::npos);
    EXPECT_EQ(list.substr(0, 27), "HKEY_CLASSES_ROOT\\CLSID\\{3}");
    EXPECT_EQ(fake::registry_calls()[2].status, REG_ERROR_FILE_NOT_FOUND);
}

TEST_F(ChangingRegistryTest, AClassDeletedWhileItIsTestedIsNotListed) {
    for (const char *key : {"{1}", "{2}", "{3}"})
        add_bare(key);
    // {1} goes once its subkeys are open: its reads answer ERROR_KEY_DELETED.
    fake::on_call([](fake::Op op, unsigned long) {
        if (op == fake::Op::EnumValue && fake::call_count(fake::Op::EnumValue) == 1)
            fake::delete_key("CLSID\\{1}");
    });
    std::string list = scan(bare_server_rule);
    EXPECT_EQ(list.find("{1}"), std::string::npos);
    EXPECT_EQ(list.substr(0, 27), "HKEY_CLASSES_ROOT\\CLSID\\{3}");
    bool key_deleted_seen = false;
    for (const fake::Call &call : fake::registry_calls())
        key_deleted_seen |= call.status == REG_ERROR_KEY_DELETED;
    EXPECT_TRUE(key_deleted_seen);
}

TEST_F(ChangingRegistryTest, SubkeysAddedDuringTheInventoryLeaveNoHandleOpen) {
    add_bare("{1}");
    // After the first subkey was seen, one that sorts first shifts the rest: InprocServer32
    // comes back a second time.
    fake::on_call([](fake::Op op, unsigned long) {
        if (op == fake::Op::EnumKey && fake::call_count(fake::Op::EnumKey) == 3)
            fake::add_key("CLSID\\{1}\\AppID");
    });
    std::string list = scan(bare_server_rule);
    EXPECT_NE(list.find("{1}\\TypeLib"), std::string::npos); // the walk takes no snapshot

    fake::reset();
    add_bare("{1}");
    // One that sorts last is met by the inventory: the class is no longer bare.
    fake::on_call([](fake::Op op, unsigned long) {
        if (op == fake::Op::EnumKey && fake::call_count(fake::Op::EnumKey) == 3)
            fake::add_key("CLSID\\{1}\\Version");
    });
    EXPECT_EQ(scan(bare_server_rule), "");
}

TEST_F(ChangingRegistryTest, TheClsidKeyDeletedMidWalkEndsItWithWhatWasFound) {
    for (const char *key : {"{1}", "{2}", "{3}"})
        fake::add_string(std::string("CLSID\\") + key, "", "Qj");
    fake::on_call([](fake::Op op, unsigned long) {
        if (op == fake::Op::EnumKey && fake::call_count(fake::Op::EnumKey) == 2)
            fake::delete_key("CLSID");
    });
    EXPECT_EQ(scan(random_name_rule), "HKEY_CLASSES_ROOT\\CLSID\\{1}               \tQj\n");
}
