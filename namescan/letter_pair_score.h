// The letter-pair score: how improbable a text's sequence of letters is under LetterPairTable.
#pragma once

#include <cstddef>

// The largest pair count by which the score is multiplied.
constexpr std::size_t SCORE_LENGTH_CAP = 20;

// Scores a NUL-terminated 8-bit text: min(pairs, SCORE_LENGTH_CAP) divided by the geometric mean
// of the table entries of its adjacent letter pairs. Letters are taken case-blind; spaces, digits
// and punctuation are skipped (they do not break a pair). A text with fewer than two letters, or
// with any byte below 0x20, 0x7F or 0x80 and above anywhere in it, scores 1.0. When the product
// of the pairs underflows to 0 the score is +infinity. The text is not changed.
double letter_pair_score(const char *text);
