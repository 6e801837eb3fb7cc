// Tests of the letter-pair table as compiled, the letter-pair score and the random-name rule.
#include "namescan/letter_pair_score.h"
#include "namescan/letter_pair_table.h"
#include "namescan/random_name.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

double entry(char row, char column) {
    return LetterPairTable[(row - 'a') * LETTER_COUNT + (column - 'a')];
}

// The two rows the rule fixes, a to z, to ten significant digits.
const double ROW_Q[LETTER_COUNT] = {
    0.0015870017,    0.001379180049,  0.00257572895,   0.002361609673, 0.001461049184,
    0.0009635367466, 0.0007746079728, 0.0006360602053, 0.001120977392, 0.0002519050318,
    0.000491214812,  0.002027835506,  0.001410668178,  0.002966181749, 0.0216071541,
    0.002273442912,  0.0008375842307, 0.003772277851,  0.003123622394, 0.003016562756,
    0.9406007935,    0.001341394294,  0.0003904527993, 0.002172680899, 0.0005478934442,
    0.000308583664};
const double ROW_X[LETTER_COUNT] = {
    0.03870250956,  0.0006717513775, 0.02759586563, 0.001719848953,  0.2076840204,   0.0057036832,
    0.001414695403, 0.02723428969,   0.09837967305, 0.0001326369255, 0.003982061816, 0.005922578438,
    0.01482638595,  0.003171174599,  0.04272917755, 0.04271529351,   0.000168085547, 0.001595778778,
    0.1153967838,   0.1773317291,    0.04905025758, 0.0007391037584, 0.004432554714, 0.1149873522,
    0.01362645011,  0.00008625831233};

// The strongest successor of each letter and its value. Rows q and x carry their ten-digit
// values, of which 0.9406 and 0.2077 are the roundings.
struct Strongest {
    char next;
    double value;
};
const Strongest STRONGEST[LETTER_COUNT] = {
    {'t', 0.1814}, {'e', 0.3219},       {'o', 0.2062}, {'e', 0.3171},       {'r', 0.1716},
    {'o', 0.2966}, {'e', 0.3613},       {'e', 0.5660}, {'n', 0.2201},       {'e', 0.4829},
    {'e', 0.4372}, {'e', 0.2099},       {'e', 0.2863}, {'t', 0.1928},       {'n', 0.2334},
    {'r', 0.1851}, {'u', 0.9406007935}, {'e', 0.2621}, {'e', 0.2018},       {'h', 0.2691},
    {'s', 0.1482}, {'e', 0.5222},       {'i', 0.2612}, {'e', 0.2076840204}, {'p', 0.2362},
    {'e', 0.5390}};

// Expects the score of text to match expected to six significant digits.
void expect_six_digits(const char *text, double expected) {
    const double unit = std::pow(10.0, std::floor(std::log10(expected)) - 5.0);
    EXPECT_NEAR(letter_pair_score(text), expected, unit / 2) << "text \"" << text << "\"";
}

std::string repeated(const char *piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

TEST(LetterPairTable, HasSixHundredSeventySixPositiveEntries) {
    EXPECT_EQ(sizeof LetterPairTable / sizeof LetterPairTable[0], 676u);
    for (int i = 0; i < LETTER_COUNT * LETTER_COUNT; ++i) {
        EXPECT_GT(LetterPairTable[i], 0.0) << "entry " << i;
        EXPECT_TRUE(std::isfinite(LetterPairTable[i])) << "entry " << i;
    }
}

TEST(LetterPairTable, EveryRowSumsToOne) {
    for (char row = 'a'; row <= 'z'; ++row) {
        double sum = 0.0;
        for (char column = 'a'; column <= 'z'; ++column) {
            sum += entry(row, column);
        }
        // Rows q and x are fixed to ten significant digits, which leaves their sums off 1 by
        // the rounding of those digits; every other row is exact to double precision.
        const double tolerance = (row == 'q' || row == 'x') ? 1e-10 : 1e-12;
        EXPECT_NEAR(sum, 1.0, tolerance) << "row " << row;
    }
}

TEST(LetterPairTable, RowsQAndXAreTheFixedValues) {
    for (char column = 'a'; column <= 'z'; ++column) {
        EXPECT_EQ(entry('q', column), ROW_Q[column - 'a']) << "q->" << column;
        EXPECT_EQ(entry('x', column), ROW_X[column - 'a']) << "x->" << column;
    }
}

TEST(LetterPairTable, StrongestSuccessorOfEachLetter) {
    for (char row = 'a'; row <= 'z'; ++row) {
        const Strongest &strongest = STRONGEST[row - 'a'];
        EXPECT_EQ(entry(row, strongest.next), strongest.value) << "row " << row;
        for (char column = 'a'; column <= 'z'; ++column) {
            if (column != strongest.next) {
                EXPECT_LT(entry(row, column), strongest.value) << row << "->" << column;
            }
        }
    }
}

TEST(LetterPairTable, XIsAFrequentSuccessorOfEIKUY) {
    EXPECT_EQ(entry('e', 'x'), 0.1260);
    EXPECT_EQ(entry('i', 'x'), 0.1021);
    EXPECT_EQ(entry('k', 'x'), 0.1187);
    EXPECT_EQ(entry('u', 'x'), 0.1263);
    EXPECT_EQ(entry('y', 'x'), 0.1671);
}

TEST(LetterPairTable, SmallestIsOQAndLargestIsQU) {
    EXPECT_EQ(entry('o', 'q'), 1.643e-5);
    EXPECT_EQ(entry('q', 'u'), 0.9406007935);
    for (char row = 'a'; row <= 'z'; ++row) {
        for (char column = 'a'; column <= 'z'; ++column) {
            if (row != 'o' || column != 'q') {
                EXPECT_GT(entry(row, column), entry('o', 'q')) << row << "->" << column;
            }
            if (row != 'q' || column != 'u') {
                EXPECT_LT(entry(row, column), entry('q', 'u')) << row << "->" << column;
            }
        }
    }
}

TEST(LetterPairScore, ScoresFromTheFixedRows) {
    expect_six_digits("Qj", 3969.75);
    expect_six_digits("Qq", 1193.91);
    expect_six_digits("Xq", 5949.35);
    expect_six_digits("Xz", 11593.1);
    expect_six_digits("Xx", 8.69661);
    expect_six_digits("Qxq", 3309.53);
    expect_six_digits("QU", 1.06315);
    expect_six_digits("Qu", 1.06315);
    expect_six_digits("qu", 1.06315);
    // Two letters score the reciprocal of their one entry, whatever the row.
    EXPECT_DOUBLE_EQ(letter_pair_score("th"), 1.0 / entry('t', 'h'));
    EXPECT_DOUBLE_EQ(letter_pair_score("Oq"), 1.0 / 1.643e-5);
}

TEST(LetterPairScore, FewerThanTwoLettersScoreOne) {
    EXPECT_EQ(letter_pair_score(""), 1.0);
    EXPECT_EQ(letter_pair_score("A"), 1.0);
    EXPECT_EQ(letter_pair_score("a1"), 1.0);
    EXPECT_EQ(letter_pair_score(" -7 "), 1.0);
    EXPECT_EQ(letter_pair_score("{j}"), 1.0);
}

TEST(LetterPairScore, NonLettersAreSkippedNotBreaks) {
    const double qu = letter_pair_score("qu");
    EXPECT_EQ(letter_pair_score("q-u"), qu);
    EXPECT_EQ(letter_pair_score("q u"), qu);
    EXPECT_EQ(letter_pair_score("Q.U"), qu);
    EXPECT_EQ(letter_pair_score("1q2u3"), qu);
    EXPECT_EQ(letter_pair_score("q~u"), qu);    // 0x7E, the last printable byte
    EXPECT_EQ(letter_pair_score("q@u[`{"), qu); // the bytes around A-Z and a-z
    EXPECT_EQ(letter_pair_score("Q x Q"), letter_pair_score("qxq"));
}

TEST(LetterPairScore, ControlAndNonAsciiBytesScoreOneAnywhere) {
    const std::string letters = repeated("Qjqj", 50);
    const char *const suffixes[] = {"\t", "\x01", "\x1f", "\x7f", "\x80", "\xe9", "\xff"};
    for (const char *suffix : suffixes) {
        const unsigned code = static_cast<unsigned char>(suffix[0]);
        EXPECT_EQ(letter_pair_score((letters + suffix).c_str()), 1.0) << "byte at end " << code;
        EXPECT_EQ(letter_pair_score((suffix + letters).c_str()), 1.0) << "byte at start " << code;
        EXPECT_EQ(letter_pair_score(("Qj" + std::string(suffix) + "u").c_str()), 1.0)
            << "byte inside " << code;
    }
    // The byte may come long after the product has underflowed.
    EXPECT_EQ(letter_pair_score((repeated("oq", 100000) + "\n").c_str()), 1.0);
}

TEST(LetterPairScore, FactorStopsAtTheCap) {
    // A run of one letter has every pair alike, so its geometric mean is that one entry.
    const double xx = entry('x', 'x');
    const std::string x21(21, 'x');
    const std::string x40(40, 'x');
    const std::string x11(11, 'x');
    EXPECT_EQ(SCORE_LENGTH_CAP, 20u);
    EXPECT_NEAR(letter_pair_score(x21.c_str()), 20.0 / xx, 1e-9);
    EXPECT_NEAR(letter_pair_score(x40.c_str()), letter_pair_score(x21.c_str()), 1e-9);
    EXPECT_NEAR(letter_pair_score(x11.c_str()), 10.0 / xx, 1e-9);
    EXPECT_NEAR(letter_pair_score("Xx"), 1.0 / xx, 1e-12);
}

TEST(LetterPairScore, UnderflowScoresInfinity) {
    const double infinity = std::numeric_limits<double>::infinity();
    // o->q then q->o, about 3.5e-7 a round: the product reaches 0 long before 400 letters.
    EXPECT_EQ(letter_pair_score(repeated("oq", 200).c_str()), infinity);
    EXPECT_EQ(letter_pair_score(repeated("Oq", 100000).c_str()), infinity);
    // Forty rounds (79 pairs) still leave a normal product: a large but finite score.
    const double finite = letter_pair_score(repeated("oq", 40).c_str());
    EXPECT_TRUE(std::isfinite(finite));
    EXPECT_GT(finite, SCORE_THRESHOLD);
}

TEST(RandomName, CapitalisedWord) {
    const struct {
        const char *text;
        bool expected;
    } cases[] = {
        {"", false},      {"X", true},
        {"Qj", true},     {"Abcdefghijklmnopqrstuvwxyz", true},
        {"QJ", false},    {"qj", false},
        {"Qj1", false},   {"Qj x", false},
        {"QjX", false},   {"1Qj", false},
        {" Qj", false},   {"Qj-", false},
        {"Q\xe9", false}, {"\xc9t\xe9", false},
        {"Q@", false},    {"Q{", false},
        {"@j", false},    {"[j", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(is_capitalized_word(c.text), c.expected) << "text \"" << c.text << "\"";
    }
}

TEST(RandomName, ListedOnlyAboveTheThreshold) {
    EXPECT_TRUE(is_random_name("Qj"));   // 3969.75
    EXPECT_TRUE(is_random_name("Qxq"));  // 3309.53
    EXPECT_FALSE(is_random_name("Qu"));  // 1.06315
    EXPECT_FALSE(is_random_name("Xx"));  // 8.69661
    EXPECT_FALSE(is_random_name("X"));   // one letter scores 1.0
    EXPECT_FALSE(is_random_name("Qj1")); // not a capitalised word, whatever the score
    EXPECT_FALSE(is_random_name("QJ"));
    EXPECT_FALSE(is_random_name("Qj x"));
    EXPECT_FALSE(is_random_name("Qj\x80"));
    // A score of +infinity passes.
    const std::string underflowing = "O" + repeated("qo", 200);
    EXPECT_TRUE(is_random_name(underflowing.c_str()));
}

} // namespace
