// Tests of the class walk and the shared value reads, over the in-memory registry.
#include "scanframe/scanframe.h"
#include "tests/list_descriptions.h"
#include "tests/stand_in_test.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> visited;

void record_visit(const ClassKey &cls, ReportText &) {
    visited.push_back(cls.name);
}

class ClassWalkTest : public StandInTest {
  protected:
    ReportText report{};
    RunHandles handles{};
    void SetUp() override {
        StandInTest::SetUp();
        visited.clear();
        ASSERT_TRUE(report_create(report));
    }
    void TearDown() override {
        close_all_keys(handles);
        report_release(report);
        StandInTest::TearDown();
    }
    bool walk(ClassRule test = record_visit) { return walk_classes(test, report, handles); }
    std::string text() const { return std::string(report.text, report.length); }
};

const std::string PREFIX = "HKEY_CLASSES_ROOT\\CLSID\\";
const std::string LABEL = "               \t";

} // namespace

TEST_F(ClassWalkTest, VisitsEveryClassInEnumerationOrderWithTheRightAccessAndCapacities) {
    fake::add_key("CLSID\\{b}");
    fake::add_key("clsid\\{A}");
    fake::add_key("CLSID\\{c}\\sub");
    EXPECT_TRUE(walk());
    EXPECT_EQ(visited, (std::vector<std::string>{"{A}", "{b}", "{c}"}));

    const std::vector<fake::Call> &calls = fake::registry_calls();
    ASSERT_EQ(calls.size(), 1u + 3 * 3 + 1);
    EXPECT_EQ(calls[0].op, fake::Op::OpenKey);
    EXPECT_EQ(calls[0].name, "CLSID");
    EXPECT_EQ(calls[0].access, 8u);
    for (unsigned long i = 0; i < 3; i++) {
        const fake::Call &enumerate = calls[1 + 3 * i];
        EXPECT_EQ(enumerate.op, fake::Op::EnumKey);
        EXPECT_EQ(enumerate.index, i);
        EXPECT_EQ(enumerate.name_capacity, 1024u);
        EXPECT_EQ(calls[2 + 3 * i].op, fake::Op::OpenKey);
        EXPECT_EQ(calls[2 + 3 * i].name, visited[i]);
        EXPECT_EQ(calls[2 + 3 * i].access, 9u);
        EXPECT_EQ(calls[3 + 3 * i].op, fake::Op::CloseKey);
    }
    EXPECT_EQ(calls.back().op, fake::Op::EnumKey);
    EXPECT_EQ(calls.back().status, REG_ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(handles.class_key, nullptr);
    EXPECT_NE(handles.clsid_key, nullptr);
}

TEST_F(ClassWalkTest, EndsAtOnceWithoutTheClsidKeyAndOnTheFirstCallWhenItIsEmpty) {
    EXPECT_FALSE(walk());
    EXPECT_EQ(handles.clsid_key, nullptr);
    EXPECT_EQ(fake::registry_calls().size(), 1u);

    fake::add_key("CLSID");
    EXPECT_TRUE(walk());
    EXPECT_TRUE(visited.empty());
    EXPECT_EQ(fake::call_count(fake::Op::EnumKey), 1u);
    EXPECT_EQ(report.length, 0u);
}

TEST_F(ClassWalkTest, SkipsAClassWhoseKeyDoesNotOpenAndGoesOn) {
    fake::add_key("CLSID\\{1}");
    fake::add_key("CLSID\\{2}");
    fake::add_key("CLSID\\{3}");
    fake::fail_call(fake::Op::OpenKey, 3); // CLSID, {1}, then {2}
    EXPECT_TRUE(walk());
    EXPECT_EQ(visited, (std::vector<std::string>{"{1}", "{3}"}));
    EXPECT_EQ(fake::call_count(fake::Op::CloseKey), 2u);
}

TEST_F(ClassWalkTest, AnyEnumerationFailureEndsTheWalkKeepingWhatWasFound) {
    for (const char *name : {"{1}", "{2}", "{3}"})
        fake::add_string(std::string("CLSID\\") + name, "", "Found");
    for (RegStatus status : {REG_ERROR_ACCESS_DENIED, REG_ERROR_MORE_DATA, REG_ERROR_KEY_DELETED}) {
        fake::fail_call(fake::Op::EnumKey, fake::call_count(fake::Op::EnumKey) + 2, false, status);
        std::size_t length_before = report.length;
        EXPECT_TRUE(walk(list_every_description));
        close_key(handles.clsid_key);
        EXPECT_EQ(text().substr(length_before), PREFIX + "{1}" + LABEL + "Found\n")
            << "status " << status;
    }
}

TEST_F(ClassWalkTest, ReadDefaultStringAcceptsOnlyAnUnnamedRegSzThatFits) {
    struct Case {
        const char *what;
        std::string name;
        unsigned long type;
        std::string data;
        bool accepted;
        std::string text;
    };
    const std::string fits(1023, 'a'), too_long(1024, 'b'), exact_unterminated(1024, 'c');
    const Case cases[] = {
        {"plain default", "", VALUE_TYPE_SZ, bytes("Desc\0"), true, "Desc"},
        {"empty string", "", VALUE_TYPE_SZ, bytes("\0"), true, ""},
        {"no data at all", "", VALUE_TYPE_SZ, "", true, ""},
        {"expandable string", "", VALUE_TYPE_EXPAND_SZ, bytes("%x%\0"), false, ""},
        {"binary", "", 3, bytes("Desc\0"), false, ""},
        {"named first value", "Name", VALUE_TYPE_SZ, bytes("Desc\0"), false, ""},
        {"1023 bytes of text", "", VALUE_TYPE_SZ, fits + '\0', true, fits},
        {"1024 bytes of text", "", VALUE_TYPE_SZ, too_long + '\0', false, ""},
        {"unterminated, filling the buffer", "", VALUE_TYPE_SZ, exact_unterminated, true,
         exact_unterminated},
        {"unterminated, short", "", VALUE_TYPE_SZ, "abc", true, "abc"},
        {"text ends at its first NUL", "", VALUE_TYPE_SZ, bytes("ab\0cd\0"), true, "ab"},
        {"code page 932 bytes", "", VALUE_TYPE_SZ, bytes("\x83\x65\x83\x58\x83\x67\0"), true,
         "\x83\x65\x83\x58\x83\x67"},
    };
    for (const Case &c : cases) {
        const std::string path = std::string("K\\") + c.what;
        fake::add_value(path, c.name, c.type, c.data);
        RegKey key = nullptr;
        ASSERT_EQ(reg_open_key(reg_classes_root(), path.c_str(), CLASS_KEY_ACCESS, &key),
                  REG_SUCCESS);
        char data[DEFAULT_STRING_BUFFER_BYTES];
        std::memset(data, 'Z', sizeof data); // what lies past the reported bytes must not show
        unsigned long data_bytes = 0;
        EXPECT_EQ(read_default_string(key, data, &data_bytes), c.accepted) << c.what;
        if (c.accepted) {
            EXPECT_EQ(std::string(data), c.text) << c.what;
            EXPECT_EQ(data_bytes, c.data.size()) << c.what;
        }
        const fake::Call &call = fake::registry_calls().back();
        EXPECT_EQ(call.op, fake::Op::EnumValue);
        EXPECT_EQ(call.index, 0u);
        EXPECT_EQ(call.name_capacity, 1024u);
        EXPECT_TRUE(call.data_wanted);
        EXPECT_EQ(call.data_capacity, 1024u);
        close_key(key);
    }
}

TEST_F(ClassWalkTest, ReadDefaultStringFailsOnAKeyWithoutValues) {
    fake::add_key("K");
    RegKey key = nullptr;
    ASSERT_EQ(reg_open_key(reg_classes_root(), "K", CLASS_KEY_ACCESS, &key), REG_SUCCESS);
    char data[DEFAULT_STRING_BUFFER_BYTES];
    unsigned long data_bytes = 0;
    EXPECT_FALSE(read_default_string(key, data, &data_bytes));
    EXPECT_TRUE(has_no_second_value(key));
    close_key(key);
}

TEST_F(ClassWalkTest, HasNoSecondValueAsksIndexOneWithoutDataAndCountsLongNames) {
    struct Case {
        const char *what;
        std::vector<std::string> names;
        bool failure_injected;
        bool answer;
    };
    const Case cases[] = {
        {"one value", {""}, false, true},
        {"two values", {"", "ThreadingModel"}, false, false},
        {"second name too long for the buffer", {"", std::string(1024, 'n')}, false, false},
        {"second name just fits", {"", std::string(1023, 'n')}, false, false},
        {"call fails", {"", "ThreadingModel"}, true, true},
    };
    for (const Case &c : cases) {
        const std::string path = std::string("K\\") + c.what;
        for (const std::string &name : c.names)
            fake::add_string(path, name, "v");
        RegKey key = nullptr;
        ASSERT_EQ(reg_open_key(reg_classes_root(), path.c_str(), CLASS_KEY_ACCESS, &key),
                  REG_SUCCESS);
        if (c.failure_injected)
            fake::fail_call(fake::Op::EnumValue, fake::call_count(fake::Op::EnumValue) + 1, false,
                            REG_ERROR_KEY_DELETED);
        EXPECT_EQ(has_no_second_value(key), c.answer) << c.what;
        const fake::Call &call = fake::registry_calls().back();
        EXPECT_EQ(call.index, 1u);
        EXPECT_EQ(call.name_capacity, 1024u);
        EXPECT_FALSE(call.data_wanted);
        close_key(key);
    }
}
