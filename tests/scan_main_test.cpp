// Tests of the main routine: every path from start to exit, the messages, and the clipboard copy.
#include "scanframe/scanframe.h"
#include "tests/list_descriptions.h"
#include "tests/stand_in_test.h"

#include <iconv.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string PREFIX = "HKEY_CLASSES_ROOT\\CLSID\\";
const std::string LABEL = "               \t";
const int ANSWER_NO = 7;

std::string from_cp932(const char *text) {
    iconv_t converter = iconv_open("UTF-8", "CP932");
    if (converter == reinterpret_cast<iconv_t>(-1))
        return "(no CP932 converter)";
    std::string in(text), out(in.size() * 4, '\0');
    char *in_at = &in[0], *out_at = &out[0];
    std::size_t in_left = in.size(), out_left = out.size();
    std::size_t done = iconv(converter, &in_at, &in_left, &out_at, &out_left);
    iconv_close(converter);
    if (done == static_cast<std::size_t>(-1))
        return "(not CP932)";
    out.resize(out.size() - out_left);
    return out;
}

// Three classes with descriptions; the report lists them in enumeration order.
void add_three_classes() {
    fake::add_string("CLSID\\{1}", "", "One");
    fake::add_string("CLSID\\{2}", "", "Two");
    fake::add_string("CLSID\\{3}", "", "Three");
}

const std::string THREE_LINES = PREFIX + "{1}" + LABEL + "One\n" + PREFIX + "{2}" + LABEL +
                                "Two\n" + PREFIX + "{3}" + LABEL + "Three\n";

class ScanMainTest : public StandInTest {
  protected:
    int run(int answer = ANSWER_NO) {
        fake::set_box_answer(answer);
        return scan_main(list_every_description);
    }
    const fake::BoxShown &only_box() {
        static const fake::BoxShown none{"(no box)", "", 0xFFFF};
        return fake::boxes_shown().size() == 1 ? fake::boxes_shown()[0] : none;
    }
};

} // namespace

TEST(Messages, AreTheJapaneseTextsInCodePage932) {
    EXPECT_EQ(std::string(BOX_CAPTION), "tovrik");
    EXPECT_EQ(from_cp932(TEXT_OUT_OF_MEMORY), "メモリが確保できなかった。");
    EXPECT_EQ(from_cp932(TEXT_NOTHING_FOUND), "見つかりませんでした。");
    EXPECT_EQ(from_cp932(TEXT_COPY_QUESTION), "クリップボードにコピーしますか？");
}

TEST_F(ScanMainTest, YesCopiesTheReportWithoutTheQuestionAsOemText) {
    add_three_classes();
    EXPECT_EQ(run(BOX_ANSWER_YES), 0);
    EXPECT_EQ(only_box().text, THREE_LINES + TEXT_COPY_QUESTION);
    EXPECT_EQ(only_box().caption, "tovrik");
    EXPECT_EQ(only_box().style, 0x104u);
    const fake::ClipboardState &clipboard = fake::clipboard();
    EXPECT_TRUE(clipboard.holds_data);
    EXPECT_EQ(clipboard.format, 7u);
    EXPECT_EQ(clipboard.bytes, THREE_LINES + std::string(1, '\0'));
    EXPECT_EQ(clipboard.emptied, 1);
    EXPECT_EQ(clipboard.closed, 1);
    EXPECT_EQ(fake::global_blocks_freed(), 0); // the clipboard owns it now
}

TEST_F(ScanMainTest, AnyOtherAnswerLeavesTheClipboardAloneAndFreesTheBlock) {
    add_three_classes();
    EXPECT_EQ(run(ANSWER_NO), 0);
    EXPECT_EQ(only_box().text, THREE_LINES + TEXT_COPY_QUESTION);
    EXPECT_EQ(fake::clipboard().opened, 0);
    EXPECT_EQ(fake::global_blocks_allocated(), 1);
    EXPECT_EQ(fake::global_blocks_freed(), 1);
}

TEST_F(ScanMainTest, NothingFoundShowsOnlyThatMessage) {
    fake::add_key("CLSID\\{1}"); // no description: not listed
    EXPECT_EQ(run(BOX_ANSWER_YES), 0);
    EXPECT_EQ(only_box().text, TEXT_NOTHING_FOUND);
    EXPECT_EQ(only_box().style, 0u);
    EXPECT_EQ(fake::global_blocks_allocated(), 0);
    EXPECT_EQ(fake::clipboard().opened, 0);
}

TEST_F(ScanMainTest, WithoutTheClsidKeyNothingIsShown) {
    EXPECT_EQ(run(BOX_ANSWER_YES), 0);
    EXPECT_TRUE(fake::boxes_shown().empty());
    fake::add_key("CLSID");
    fake::fail_call(fake::Op::OpenKey, 2); // this run's first call
    EXPECT_EQ(run(BOX_ANSWER_YES), 0);
    EXPECT_TRUE(fake::boxes_shown().empty());
}

TEST_F(ScanMainTest, OutOfMemoryAtTheStartSaysSoAndDoesNothingElse) {
    add_three_classes();
    fake::fail_call(fake::Op::HeapAlloc, 1);
    EXPECT_EQ(run(BOX_ANSWER_YES), 0);
    EXPECT_EQ(only_box().text, TEXT_OUT_OF_MEMORY);
    EXPECT_EQ(only_box().style, 0u);
    EXPECT_TRUE(fake::registry_calls().empty());
}

TEST_F(ScanMainTest, FailuresBeforeTheListEndTheRunSilently) {
    for (fake::Op op : {fake::Op::GlobalAlloc, fake::Op::GlobalLock}) {
        fake::reset();
        add_three_classes();
        fake::fail_call(op, 1);
        EXPECT_EQ(run(BOX_ANSWER_YES), 0);
        EXPECT_TRUE(fake::boxes_shown().empty()) << fake::op_name(op);
        EXPECT_EQ(fake::clipboard().opened, 0);
        // A block that was allocated but would not lock is released all the same.
        EXPECT_EQ(fake::global_blocks_freed(), fake::global_blocks_allocated());
        EXPECT_EQ(fake::problems(), "") << fake::op_name(op);
    }
}

TEST_F(ScanMainTest, ClipboardRefusalsAreSilentAndReleaseTheBlock) {
    for (fake::Op op : {fake::Op::ClipboardOpen, fake::Op::ClipboardSetData}) {
        fake::reset();
        add_three_classes();
        fake::fail_call(op, 1);
        EXPECT_EQ(run(BOX_ANSWER_YES), 0);
        EXPECT_EQ(fake::boxes_shown().size(), 1u) << fake::op_name(op);
        EXPECT_FALSE(fake::clipboard().holds_data);
        EXPECT_EQ(fake::global_blocks_freed(), 1);
        // The clipboard is closed whenever it was opened.
        EXPECT_EQ(fake::clipboard().closed, fake::clipboard().opened);
        EXPECT_EQ(fake::problems(), "") << fake::op_name(op);
    }
}

TEST_F(ScanMainTest, WhenTheQuestionCannotBeAppendedTheListIsShownWithoutIt) {
    // A 255-byte report fills its 256-byte block, so the question needs a larger one.
    const std::string description(255 - 44, 'd');
    fake::add_string("CLSID\\{1}", "", description);
    const std::string list = PREFIX + "{1}" + LABEL + description + "\n";
    ASSERT_EQ(list.size(), 255u);
    // Memory runs out once the clipboard copy is made.
    fake::on_call([](fake::Op op, unsigned long) {
        if (op == fake::Op::GlobalAlloc)
            fake::fail_call(fake::Op::HeapAlloc, fake::call_count(fake::Op::HeapAlloc) + 1, true);
    });
    EXPECT_EQ(run(BOX_ANSWER_YES), 0);
    EXPECT_EQ(only_box().text, list);
    EXPECT_EQ(only_box().style, 0x104u);
    EXPECT_EQ(fake::clipboard().bytes, list + std::string(1, '\0'));
}

// Every allocation of the run fails in turn, once and from then on, until a run completes with
// none failed. Each run must end cleanly, exit 0, and show only whole lines of the full report.
TEST_F(ScanMainTest, SurvivesEveryAllocationFailure) {
    std::vector<std::string> full_lines;
    std::istringstream lines(THREE_LINES);
    for (std::string line; std::getline(lines, line);)
        full_lines.push_back(line);

    for (fake::Op op : {fake::Op::HeapAlloc, fake::Op::GlobalAlloc}) {
        for (bool from_then_on : {false, true}) {
            for (unsigned long nth = 1;; nth++) {
                fake::reset();
                add_three_classes();
                fake::fail_call(op, nth, from_then_on);
                EXPECT_EQ(run(BOX_ANSWER_YES), 0);
                EXPECT_EQ(fake::problems(), "") << fake::op_name(op) << " " << nth;
                for (const fake::BoxShown &box : fake::boxes_shown()) {
                    if (box.text == TEXT_OUT_OF_MEMORY || box.text == TEXT_NOTHING_FOUND)
                        continue;
                    std::string list = box.text;
                    std::size_t question = list.rfind(TEXT_COPY_QUESTION);
                    if (question != std::string::npos)
                        list.erase(question);
                    ASSERT_TRUE(list.empty() || list.back() == '\n') << list;
                    std::istringstream shown(list);
                    std::size_t next = 0;
                    for (std::string line; std::getline(shown, line);) {
                        while (next < full_lines.size() && full_lines[next] != line)
                            next++;
                        EXPECT_LT(next, full_lines.size()) << "not a whole line: " << line;
                        next++;
                    }
                }
                if (nth > fake::call_count(op))
                    break; // this run met no injected failure
            }
        }
    }
}
