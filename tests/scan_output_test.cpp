// Text that clsid-scan writes from outside the registry: JSON names and printable messages.
#include "clsidscan/scan_output.h"

#include "clsidscan/finding_files.h"
#include "rules/severity.h"

#include <algorithm>

#include <gtest/gtest.h>

TEST(ScanOutput, JsonStringsAreUtf8WhateverTheBytes) {
    EXPECT_EQ(json_string("caf\xC3\xA9 \xF0\x9F\x98\x80"), "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"");
    // Overlong forms, surrogates, code points past U+10FFFF, stray and cut-short sequences.
    for (const char *bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80",
                            "\xFF", "\xE2\x82"}) {
        std::string out = json_string(std::string("a") + bad + "b");
        EXPECT_EQ(out.substr(0, 2), "\"a") << bad;
        EXPECT_NE(out.find("\xEF\xBF\xBD"), std::string::npos) << bad;
        EXPECT_EQ(out.substr(out.size() - 2), "b\"") << bad;
    }
    EXPECT_EQ(json_string(std::string("\x01\"\\\n", 4)), "\"\\u0001\\\"\\\\\\n\"");
}

TEST(ScanOutput, NamesThatAreNotUtf8KeepTheirBytesInHex) {
    EXPECT_EQ(json_name_field("user", "alice"), "\"user\":\"alice\"");
    EXPECT_EQ(json_name_field("user", "caf\xE9"),
              "\"user\":\"caf\xEF\xBF\xBD\",\"user_hex\":\"636166e9\"");
}

TEST(ScanOutput, PrintableTextCannotForgeLinesOrReachTheTerminal) {
    EXPECT_EQ(printable_text("C:\\Users\\Public \xC3\xA9"), "C:\\Users\\Public \xC3\xA9");
    EXPECT_EQ(printable_text("a\nHKEY\r\x1B[2J\x7F"), "a\\x0aHKEY\\x0d\\x1b[2J\\x7f");
    EXPECT_EQ(printable_text("\xC2\x9B"
                             "31m \xC2\xA0"),
              "\\xc2\\x9b31m \xC2\xA0"); // C1 CSI
    EXPECT_EQ(printable_text("caf\xE9"), "caf\\xe9");
    // A name that spells an escape cannot pass for one.
    EXPECT_EQ(printable_text("\\x0a"), "\\x5cx0a");
}

TEST(ScanOutput, CsvCellsASpreadsheetWouldRunOpenAsText) {
    EXPECT_EQ(csv_field("=HYPERLINK(\"http://x\",\"y\")"),
              "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\"");
    const std::pair<const char *, const char *> neutralised[] = {
        {"+1+2", "'+1+2"},   {"-2+3", "'-2+3"}, {"@SUM(A1)", "'@SUM(A1)"}, {"\tx", "'\tx"},
        {"\rx", "\"'\rx\""}, {"-", "'-"},       {"-1e999x", "'-1e999x"}};
    for (const auto &[formula, cell] : neutralised)
        EXPECT_EQ(csv_field(formula), cell);
    // Numbers clsid-scan writes, and text with these characters further in, stay as they are.
    for (const char *kept : {"-1e999", "-2.5", "64", "a=b", "C:\\x.dll", ""})
        EXPECT_EQ(csv_field(kept), kept);
}

TEST(ScanOutput, TimesPastTheYear9999AreTheLastOneInEveryFormat) {
    ClassesSides sides;
    RuleReport report;
    report.view = Bitness::Bits64;
    report.rule = ScanRule::Bare;
    FoundClass found;
    found.key = "{K}";
    found.description = "@cmd";
    found.written = UINT64_MAX;
    report.found.push_back(found);
    ScanSettings settings;
    settings.format = ReportFormat::Csv;
    std::string csv = render_reports(sides, {report}, settings, ReportScope(), false);
    EXPECT_EQ(csv.rfind("9999-12-31T23:59:59.9999999Z,", 0), 0u) << csv;
    EXPECT_NE(csv.find(",'@cmd,"), std::string::npos) << csv;
    settings.format = ReportFormat::Bodyfile;
    std::string body = render_reports(sides, {report}, settings, ReportScope(), false);
    EXPECT_NE(body.find("|0|0|0|0|0|0|253402300799|0|0\n"), std::string::npos) << body;
}

TEST(ScanOutput, WhatWasCutShortIsAReasonAndANoteOnce) {
    Environment environment = machine_environment();
    environment.set("LONG", std::string(20000, 'a'));
    std::string path;
    for (int i = 0; i < 200; i++)
        path += "C:\\d" + std::to_string(i) + ";";
    environment.set("Path", path);
    ServerExamination expanded, split;
    server_candidates("C:\\%LONG%%LONG%.dll", ValueType::ExpandString, ServerKind::InProcess,
                      Bitness::Bits64, environment, &expanded.notes);
    server_candidates("C:\\a" + std::string(100, ' ') + "b.exe", ValueType::String,
                      ServerKind::CommandLine, Bitness::Bits64, environment, &split.notes);
    RuleReport report{Bitness::Bits64, ScanRule::Abandoned, std::string(), {}, false, {}, false};
    for (ServerExamination *examined : {&expanded, &split}) {
        FoundClass found;
        found.key = examined == &expanded ? "{E}" : "{S}";
        found.server_file = *examined;
        report.found.push_back(found);
        report.found.push_back(found); // a second finding of one class is noted once
    }
    for (FoundClass &found : report.found)
        assess_finding(report, found, environment);
    auto has = [](const FoundClass &found, const char *reason) {
        return std::find(found.reasons.begin(), found.reasons.end(), reason) != found.reasons.end();
    };
    EXPECT_TRUE(has(report.found[0], "server value expands past 32767 characters"));
    EXPECT_TRUE(has(report.found[2], "server command line has too many candidates"));
    EXPECT_FALSE(has(report.found[2], "server value expands past 32767 characters"));
    std::vector<RuleReport> reports = {report};
    std::vector<std::string> notes = cut_notes({&reports}, environment, "root");
    ASSERT_EQ(notes.size(), 3u) << ::testing::PrintToString(notes);
    EXPECT_EQ(notes[0].rfind("root: Path names more than 128 folders", 0), 0u);
    EXPECT_NE(notes[1].find("{E}: its server value expands past 32767"), std::string::npos);
    EXPECT_NE(notes[2].find("{S}: its server command line has more than 64"), std::string::npos);
}
