// Measures the random-name rule: how many random words it lists, and how many dictionary words.
//
// Usage: measure_name_rule [-v] [WORD_LIST [EXCLUDED_LIST]]
//   WORD_LIST      one word a line; default /usr/share/dict/british-english-large. Use a list other
//                  than the one the table was counted from.
//   EXCLUDED_LIST  optional: words also found in this list are left out, so that only words the
//                  table never saw are measured (give the list the table was counted from).
//   -v             also print every dictionary word that the rule lists.
//
// Random words: RANDOM_WORDS capitalised words of 6 to 12 letters, each letter uniform over a-z,
// from a fixed xorshift generator, so every platform prints the same figures. Dictionary words:
// the distinct words of 4 letters or more made only of ASCII letters, capitalised (first letter
// upper case, the rest lower case). Entries with two or more capitals ("HTML", "McGee") are left
// out: written as they are they fail the capitalised-word test, so the rule could never list them.
#include "namescan/random_name.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

namespace {

const char *const DEFAULT_WORD_LIST = "/usr/share/dict/british-english-large";
const int RANDOM_WORDS = 10000;
const int RANDOM_MIN_LETTERS = 6;
const int RANDOM_MAX_LETTERS = 12;
const std::size_t DICTIONARY_MIN_LETTERS = 4;

// xorshift32: small, fixed and the same everywhere.
std::uint32_t next_random(std::uint32_t &state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// A uniform value in [0, bound), from the high bits of the generator.
int random_below(std::uint32_t &state, int bound) {
    return static_cast<int>(
        (static_cast<std::uint64_t>(next_random(state)) * static_cast<std::uint64_t>(bound)) >> 32);
}

// Reads the list's lines that are ASCII letters only, long enough and with at most one capital,
// capitalised, into words.
// Returns false when the file cannot be opened.
bool read_capitalised_words(const char *path, std::set<std::string> &words) {
    std::FILE *stream = std::fopen(path, "rb");
    if (stream == NULL) {
        return false;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, stream) != NULL) {
        std::size_t length = std::strcspn(line, "\r\n");
        line[length] = '\0';
        bool letters_only = length >= DICTIONARY_MIN_LETTERS;
        int capitals = 0;
        for (std::size_t i = 0; i < length && letters_only; ++i) {
            const char c = line[i];
            letters_only = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            capitals += c >= 'A' && c <= 'Z';
        }
        if (!letters_only || capitals >= 2) {
            continue;
        }
        for (std::size_t i = 0; i < length; ++i) {
            if (line[i] >= 'A' && line[i] <= 'Z') {
                line[i] = static_cast<char>(line[i] - 'A' + 'a');
            }
        }
        line[0] = static_cast<char>(line[0] - 'a' + 'A');
        words.insert(line);
    }
    std::fclose(stream);
    return true;
}

double percent(long part, long whole) {
    return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

} // namespace

int main(int argc, char **argv) {
    bool verbose = false;
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "-v") == 0) {
        verbose = true;
        first = 2;
    }
    const char *word_list = argc > first ? argv[first] : DEFAULT_WORD_LIST;
    const char *excluded_list = argc > first + 1 ? argv[first + 1] : NULL;

    std::uint32_t state = 0x9E3779B9u;
    long random_listed = 0;
    for (int i = 0; i < RANDOM_WORDS; ++i) {
        char word[RANDOM_MAX_LETTERS + 1];
        const int length =
            RANDOM_MIN_LETTERS + random_below(state, RANDOM_MAX_LETTERS - RANDOM_MIN_LETTERS + 1);
        for (int j = 0; j < length; ++j) {
            word[j] = static_cast<char>((j == 0 ? 'A' : 'a') + random_below(state, 26));
        }
        word[length] = '\0';
        if (is_random_name(word)) {
            ++random_listed;
        }
    }

    std::set<std::string> words;
    if (!read_capitalised_words(word_list, words)) {
        std::fprintf(stderr, "cannot read %s\n", word_list);
        return 1;
    }
    if (excluded_list != NULL) {
        std::set<std::string> excluded;
        if (!read_capitalised_words(excluded_list, excluded)) {
            std::fprintf(stderr, "cannot read %s\n", excluded_list);
            return 1;
        }
        for (const std::string &word : excluded) {
            words.erase(word);
        }
    }
    long words_listed = 0;
    for (const std::string &word : words) {
        if (is_random_name(word.c_str())) {
            ++words_listed;
            if (verbose) {
                std::printf("listed: %s\n", word.c_str());
            }
        }
    }

    std::printf("random words (%d-%d letters) listed: %ld of %d = %.2f%%\n", RANDOM_MIN_LETTERS,
                RANDOM_MAX_LETTERS, random_listed, RANDOM_WORDS,
                percent(random_listed, RANDOM_WORDS));
    std::printf("dictionary words (%s%s%s) listed: %ld of %ld = %.3f%%\n", word_list,
                excluded_list != NULL ? " without " : "",
                excluded_list != NULL ? excluded_list : "", words_listed,
                static_cast<long>(words.size()),
                percent(words_listed, static_cast<long>(words.size())));
    return 0;
}
