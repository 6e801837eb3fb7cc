// Tests of the bare in-process server rule, run through the whole scan over the stand-in.
#include "barescan/bare_server_rule.h"
#include "tests/stand_in_test.h"

#include <string>

namespace {

const std::string PREFIX = "HKEY_CLASSES_ROOT\\CLSID\\";
const std::string TYPE_LIB = "{00020430-0000-0000-C000-000000000046}";

struct Bare {
    std::string key;
    std::string description = "Widget Class";
    std::string server = "C:\\Windows\\widget.dll";
    std::string type_lib = TYPE_LIB;
};

// Registers a class in the bare form; a test then spoils it in one way.
std::string add_bare_class(const Bare &bare) {
    std::string path = "CLSID\\" + bare.key;
    fake::add_string(path, "", bare.description);
    fake::add_string(path + "\\InprocServer32", "", bare.server);
    fake::add_string(path + "\\TypeLib", "", bare.type_lib);
    return path;
}

std::string entry(const Bare &bare) {
    std::string line = PREFIX + bare.key;
    return line + "               \t" + bare.description + "\n" + line + "\\InprocServer32\t" +
           bare.server + "\n" + line + "\\TypeLib       \t" + bare.type_lib + "\n\n";
}

class BareServerTest : public StandInTest {
  protected:
    // The list the scan shows, without the question; "" when nothing was found.
    std::string scan() {
        fake::set_box_answer(BOX_ANSWER_YES);
        EXPECT_EQ(scan_main(bare_server_rule), 0);
        const fake::ClipboardState &clipboard = fake::clipboard();
        if (!clipboard.holds_data)
            return "";
        return clipboard.bytes.substr(0, clipboard.bytes.size() - 1);
    }
};

} // namespace

TEST_F(BareServerTest, ListsABareClassAsThreeLinesAndAnEmptyLine) {
    Bare bare{"{11111111-2222-3333-4444-555555555555}"};
    add_bare_class(bare);
    std::string list = scan();
    EXPECT_EQ(list, entry(bare));
    EXPECT_EQ(list,
              "HKEY_CLASSES_ROOT\\CLSID\\{11111111-2222-3333-4444-555555555555}               "
              "\tWidget Class\n"
              "HKEY_CLASSES_ROOT\\CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32"
              "\tC:\\Windows\\widget.dll\n"
              "HKEY_CLASSES_ROOT\\CLSID\\{11111111-2222-3333-4444-555555555555}\\TypeLib       "
              "\t{00020430-0000-0000-C000-000000000046}\n\n");
    EXPECT_EQ(fake::boxes_shown().at(0).text, list + TEXT_COPY_QUESTION);
}

TEST_F(BareServerTest, CopiesKeyNamesDescriptionsAndPathsUnchanged) {
    Bare odd{"not a guid"};
    odd.description = "\x83\x65\x83\x58\x83\x67\x8c\xa9"; // Shift_JIS, second bytes below 0x80 too
    odd.server = "C:\\\x83\x5c\x83\x74\x83\x67\\a\tb.dll";
    odd.type_lib = "{not hex at all, only the braces count}";
    odd.type_lib.resize(37);
    odd.type_lib += "}";
    add_bare_class(odd);
    EXPECT_EQ(scan(), entry(odd));
}

TEST_F(BareServerTest, ListsOnlyClassesWithExactlyTheTwoSubkeys) {
    Bare listed{"{a}"};
    add_bare_class(listed);
    // Further subkeys sorting before, between and after the two.
    add_bare_class(Bare{"{b-appid}"});
    fake::add_key("CLSID\\{b-appid}\\AppID");
    add_bare_class(Bare{"{c-progid}"});
    fake::add_key("CLSID\\{c-progid}\\ProgID");
    add_bare_class(Bare{"{d-version}"});
    fake::add_key("CLSID\\{d-version}\\Version");
    // A name that differs only in case is another subkey.
    fake::add_string("CLSID\\{e-case}", "", "d");
    fake::add_string("CLSID\\{e-case}\\InProcServer32", "", "s");
    fake::add_string("CLSID\\{e-case}\\TypeLib", "", TYPE_LIB);
    // One of the two missing.
    fake::add_string("CLSID\\{f-no-typelib}", "", "d");
    fake::add_string("CLSID\\{f-no-typelib}\\InprocServer32", "", "s");
    fake::add_string("CLSID\\{g-no-server}", "", "d");
    fake::add_string("CLSID\\{g-no-server}\\TypeLib", "", TYPE_LIB);
    EXPECT_EQ(scan(), entry(listed));
}

TEST_F(BareServerTest, AClassWithoutSubkeysRightAfterAMatchIsNotListed) {
    Bare listed{"{1}"};
    add_bare_class(listed);
    fake::add_string("CLSID\\{2}", "", "Nothing below");
    EXPECT_EQ(scan(), entry(listed));
    // Every key the test opened was closed before the walk moved on.
    int opens = 0, closes = 0;
    for (const fake::Call &call : fake::registry_calls()) {
        opens += call.op == fake::Op::OpenKey && call.status == REG_SUCCESS;
        closes += call.op == fake::Op::CloseKey;
    }
    EXPECT_EQ(opens, closes);
}

TEST_F(BareServerTest, ListsOnlyKeysHoldingTheirDefaultStringAlone) {
    Bare listed{"{a}"};
    add_bare_class(listed);
    fake::add_string(add_bare_class(Bare{"{b-threading}"}) + "\\InprocServer32", "ThreadingModel",
                     "Apartment");
    fake::add_string(add_bare_class(Bare{"{c-named}"}), "AppID", "{x}");
    fake::add_string(add_bare_class(Bare{"{d-typelib-2nd}"}) + "\\TypeLib", "Extra", "x");
    fake::add_value(add_bare_class(Bare{"{e-expand}"}) + "\\InprocServer32", "",
                    VALUE_TYPE_EXPAND_SZ, bytes("%SystemRoot%\\x.dll\0"));
    // A second value whose name is too long for the name buffer still counts.
    fake::add_string(add_bare_class(Bare{"{f-long-name}"}), std::string(1100, 'n'), "x");
    // The description alone, without a server path value.
    fake::delete_value(add_bare_class(Bare{"{g-no-path}"}) + "\\InprocServer32", "");
    EXPECT_EQ(scan(), entry(listed));
}

TEST_F(BareServerTest, ValueSizesAreJudgedByTheBytesTheRegistryReports) {
    Bare longest{"{a-1023}"};
    longest.description = std::string(1023, 'd');
    add_bare_class(longest);
    Bare too_long{"{b-1024}"};
    too_long.description = std::string(1024, 'd');
    add_bare_class(too_long);
    // Stored without a terminator: the text ends where the reported bytes end.
    Bare unterminated{"{c-unterminated}"};
    add_bare_class(unterminated);
    fake::add_value("CLSID\\{c-unterminated}\\InprocServer32", "", VALUE_TYPE_SZ,
                    unterminated.server);
    fake::add_value("CLSID\\{c-unterminated}", "", VALUE_TYPE_SZ, std::string(1024, 'u'));
    unterminated.description = std::string(1024, 'u');
    EXPECT_EQ(scan(), entry(longest) + entry(unterminated));
}

TEST_F(BareServerTest, TypeLibMustBe38CharactersWithBracesAtBothEnds) {
    struct Shape {
        const char *key;
        std::string data;
        bool listed;
    };
    const std::string inner36(36, '0');
    const Shape shapes[] = {
        {"{a-ok}", "{" + inner36 + "}" + '\0', true},
        {"{b-37}", "{" + inner36.substr(1) + "}" + '\0', false},
        {"{c-39}", "{" + inner36 + "0}" + '\0', false},
        {"{d-brace-moved}", "{" + inner36.substr(1) + "}0" + '\0', false},
        {"{e-no-open-brace}", "(" + inner36 + "}" + '\0', false},
        // 38 characters without their NUL: 38 bytes, whatever strlen would say.
        {"{f-unterminated-38}", "{" + inner36 + "}", false},
        // 39 bytes without a NUL: the byte count and the braces are what is examined.
        {"{g-unterminated-39}", "{" + inner36 + "}x", true},
    };
    std::string expected;
    for (const Shape &shape : shapes) {
        Bare bare{shape.key};
        add_bare_class(bare);
        fake::add_value(std::string("CLSID\\") + shape.key + "\\TypeLib", "", VALUE_TYPE_SZ,
                        shape.data);
        bare.type_lib = shape.data.c_str();
        if (shape.listed)
            expected += entry(bare);
    }
    EXPECT_EQ(scan(), expected);
}

// Any registry call of the test that fails means only that the class is not listed.
TEST_F(BareServerTest, AFailingRegistryCallOnlyDropsTheClass) {
    for (fake::Op op : {fake::Op::EnumKey, fake::Op::OpenKey, fake::Op::EnumValue}) {
        for (unsigned long nth = 1;; nth++) {
            fake::reset();
            add_bare_class(Bare{"{a}"});
            // The walk's own calls come first: CLSID open, enumeration, class open.
            unsigned long walk_calls = op == fake::Op::EnumValue ? 0
                                       : op == fake::Op::OpenKey ? 2
                                                                 : 1;
            fake::fail_call(op, walk_calls + nth, false, REG_ERROR_KEY_DELETED);
            std::string list = scan();
            EXPECT_EQ(fake::problems(), "") << fake::op_name(op) << " " << nth;
            bool failed_in_test = fake::call_count(op) >= walk_calls + nth;
            if (!failed_in_test) {
                EXPECT_EQ(list, entry(Bare{"{a}"}));
                break;
            }
            // Harmless failures: a subkey enumeration after both subkeys were found ends the
            // inventory as its normal end does, and so does the walk's own last enumeration; a
            // failed second-value probe answers that there is no second value.
            bool harmless = (op == fake::Op::EnumKey && nth >= 3) ||
                            (op == fake::Op::EnumValue && nth % 2 == 0);
            EXPECT_EQ(list, harmless ? entry(Bare{"{a}"}) : "") << fake::op_name(op) << " " << nth;
        }
    }
}
