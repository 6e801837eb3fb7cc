// Tests of the report text: growth, whole-or-nothing appends, and the entry line layout.
#include "scanframe/scanframe.h"
#include "tests/stand_in_test.h"

#include <string>

class ReportTextTest : public StandInTest {
  protected:
    ReportText report{};
    void SetUp() override {
        StandInTest::SetUp();
        ASSERT_TRUE(report_create(report));
    }
    void TearDown() override {
        report_release(report);
        StandInTest::TearDown();
    }
    std::string text() const { return std::string(report.text, report.length); }
};

TEST_F(ReportTextTest, StartsEmptyInOneByteAndGrowsOnlyAtItsEnd) {
    EXPECT_EQ(report.length, 0u);
    EXPECT_EQ(report.capacity, 1u);
    EXPECT_EQ(report.text[0], '\0');

    EXPECT_TRUE(append_text(report, ""));
    EXPECT_EQ(text(), "");
    EXPECT_TRUE(append_text(report, "ab"));
    EXPECT_TRUE(append_text(report, "\tc\nd"));
    EXPECT_EQ(text(), "ab\tc\nd");
    EXPECT_EQ(report.text[report.length], '\0');
    EXPECT_GE(report.capacity, report.length + 1);
}

TEST_F(ReportTextTest, GrowthIsAmortisedSoAppendsStayLinear) {
    for (int i = 0; i < 100000; i++)
        ASSERT_TRUE(append_text(report, "x"));
    EXPECT_EQ(report.length, 100000u);
    // Doubling needs about log2(100000) = 17 moves, not one per append.
    EXPECT_LE(fake::call_count(fake::Op::HeapAlloc), 20u);
}

TEST_F(ReportTextTest, EntryLinesHaveTheFixedLayoutAndCopyNamesAndValuesUnchanged) {
    EntryLine description = {LABEL_DESCRIPTION, "Tab\there\nand LF"};
    EXPECT_TRUE(append_entry(report, "not-a-{guid}", &description, 1, false));
    EXPECT_EQ(text(), "HKEY_CLASSES_ROOT\\CLSID\\not-a-{guid}               \tTab\there\nand LF\n");
}

TEST_F(ReportTextTest, ThreeLineEntryWithBlankLineHasItsTabsInOneColumn) {
    const char *key = "{00000000-0000-0000-0000-000000000001}";
    EntryLine lines[] = {{LABEL_DESCRIPTION, "Desc"},
                         {LABEL_INPROC_SERVER32, "C:\\x.dll"},
                         {LABEL_TYPELIB, "{11111111-1111-1111-1111-111111111111}"}};
    EXPECT_TRUE(append_entry(report, key, lines, 3, true));
    std::string prefix = std::string("HKEY_CLASSES_ROOT\\CLSID\\") + key;
    EXPECT_EQ(text(), prefix + "               \tDesc\n" + prefix +
                          "\\InprocServer32\tC:\\x.dll\n" + prefix +
                          "\\TypeLib       \t{11111111-1111-1111-1111-111111111111}\n\n");
    std::size_t tab_column = prefix.size() + 15;
    std::size_t line_start = 0;
    for (int line = 0; line < 3; line++) {
        EXPECT_EQ(text().find('\t', line_start), line_start + tab_column) << "line " << line;
        line_start = text().find('\n', line_start) + 1;
    }
}

TEST_F(ReportTextTest, AnEntryThatCannotGrowTheReportIsDroppedWhole) {
    ASSERT_TRUE(append_text(report, "kept\n"));
    fake::fail_call(fake::Op::HeapAlloc, fake::call_count(fake::Op::HeapAlloc) + 1);
    EntryLine lines[] = {{LABEL_DESCRIPTION, "a"}, {LABEL_INPROC_SERVER32, "b"}};
    EXPECT_FALSE(append_entry(report, "{k}", lines, 2, true));
    EXPECT_EQ(text(), "kept\n");
    // The next entry, with memory back, is appended whole.
    EXPECT_TRUE(append_entry(report, "{k}", lines, 1, false));
    EXPECT_EQ(text(), "kept\nHKEY_CLASSES_ROOT\\CLSID\\{k}               \ta\n");
}

TEST(ReportTextCreate, FailsCleanlyWhenTheFirstByteCannotBeHad) {
    fake::reset();
    fake::fail_call(fake::Op::HeapAlloc, 1);
    ReportText report;
    EXPECT_FALSE(report_create(report));
    EXPECT_EQ(report.text, nullptr);
    report_release(report);
    EXPECT_EQ(fake::problems(), "");
}
