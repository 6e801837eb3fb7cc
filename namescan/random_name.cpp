// The random-name rule: the capitalised-word test and the score threshold.
#include "namescan/random_name.h"

#include "namescan/letter_pair_score.h"

bool is_capitalized_word(const char *text) {
    if (text[0] < 'A' || text[0] > 'Z') {
        return false;
    }
    for (const char *p = text + 1; *p != 0; ++p) {
        if (*p < 'a' || *p > 'z') {
            return false; // plain char may be signed: bytes of 0x80 and up fail here too
        }
    }
    return true;
}

bool is_random_name(const char *description) {
    return is_capitalized_word(description) && letter_pair_score(description) > SCORE_THRESHOLD;
}
