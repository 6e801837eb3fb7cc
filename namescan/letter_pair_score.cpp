// The letter-pair score of a text, computed in one pass over its bytes without a copy.
#include "namescan/letter_pair_score.h"

#include "namescan/letter_pair_table.h"

#include <cmath>

double letter_pair_score(const char *text) {
    // Letters are taken in order as if copied, lowered, into a working text; the product of the
    // pairs is built as each letter arrives, rounded to double after every multiplication, which
    // gives exactly the product over the copy.
    std::size_t letters = 0;
    int previous = -1;
    double product = 1.0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        const unsigned char c = *p;
        if (c < 0x20 || c >= 0x7F) {
            return 1.0; // control, DEL or non-ASCII: the text cannot be judged
        }
        int letter;
        if (c >= 'a' && c <= 'z') {
            letter = c - 'a';
        } else if (c >= 'A' && c <= 'Z') {
            letter = c - 'A';
        } else {
            continue; // space, digit or punctuation: skipped, not a break
        }
        if (previous >= 0) {
            product *= LetterPairTable[previous * LETTER_COUNT + letter];
        }
        previous = letter;
        ++letters;
    }
    if (letters < 2) {
        return 1.0;
    }
    const std::size_t pairs = letters - 1;
    // An underflowed product gives a mean of 0 and so a score of +infinity.
    const double mean = std::pow(product, 1.0 / static_cast<double>(pairs));
    const std::size_t factor = pairs < SCORE_LENGTH_CAP ? pairs : SCORE_LENGTH_CAP;
    return (1.0 / mean) * static_cast<double>(factor);
}
