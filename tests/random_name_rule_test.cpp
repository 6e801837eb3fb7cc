// Tests of the random class-name rule, run through the whole scan over the stand-in.
#include "namescan/random_name_rule.h"
#include "tests/stand_in_test.h"

#include <string>

namespace {

std::string line(const std::string &key, const std::string &description) {
    return "HKEY_CLASSES_ROOT\\CLSID\\" + key + "               \t" + description + "\n";
}

class RandomNameTest : public StandInTest {
  protected:
    std::string scan() {
        fake::set_box_answer(BOX_ANSWER_YES);
        EXPECT_EQ(scan_main(random_name_rule), 0);
        const std::string &bytes = fake::clipboard().bytes;
        return fake::clipboard().holds_data ? bytes.substr(0, bytes.size() - 1) : "";
    }
};

} // namespace

// Descriptions whose outcome the q and x rows of the table decide on their own.
TEST_F(RandomNameTest, ListsOneLinePerCapitalisedWordScoringAboveTheThreshold) {
    fake::add_string("CLSID\\{1}", "", "Qj");  // 3969.75
    fake::add_string("CLSID\\{2}", "", "Qu");  // 1.06315
    fake::add_string("CLSID\\{3}", "", "Qxq"); // 3309.53
    fake::add_string("CLSID\\{4}", "", "Xx");  // 8.69661
    fake::add_string("CLSID\\{5}", "", "X");   // one letter: 1.0
    fake::add_string("CLSID\\{6}", "", "Xz");  // 11593.1
    EXPECT_EQ(scan(), line("{1}", "Qj") + line("{3}", "Qxq") + line("{6}", "Xz"));
    EXPECT_EQ(fake::boxes_shown().at(0).text,
              line("{1}", "Qj") + line("{3}", "Qxq") + line("{6}", "Xz") + TEXT_COPY_QUESTION);
}

TEST_F(RandomNameTest, OnlyAnUnnamedRegSzThatIsOneCapitalisedWordIsJudged) {
    for (const char *description : {"QJ", "qj", "Qj1", "Qj x", "Qj\x83\x65", " Qj", "QjQ"})
        fake::add_string(std::string("CLSID\\") + description, "", description);
    fake::add_value("CLSID\\{expand}", "", VALUE_TYPE_EXPAND_SZ, bytes("Qj\0"));
    fake::add_string("CLSID\\{named}", "Name", "Qj");
    fake::add_value("CLSID\\{unterminated}", "", VALUE_TYPE_SZ, "Qjx"); // listed: "Qjx" is judged
    EXPECT_EQ(scan(), line("{unterminated}", "Qjx"));
}

TEST_F(RandomNameTest, FurtherValuesAndSubkeysDoNotMatter) {
    fake::add_string("CLSID\\{1}", "", "Qj");
    fake::add_string("CLSID\\{1}", "ThreadingModel", "Both");
    fake::add_string("CLSID\\{1}\\InprocServer32", "", "x.dll");
    fake::add_key("CLSID\\{1}\\ProgID");
    EXPECT_EQ(scan(), line("{1}", "Qj"));
}

TEST_F(RandomNameTest, NothingFoundWhenNoDescriptionLooksMadeUp) {
    fake::add_string("CLSID\\{1}", "", "Qu");
    fake::add_string("CLSID\\{2}", "", "Xx");
    EXPECT_EQ(scan(), "");
    EXPECT_EQ(fake::boxes_shown().at(0).text, TEXT_NOTHING_FOUND);
}
