// libFuzzer target: the letter-pair score and the capitalised-word test against plain references.
//
// The input, up to its first NUL, is the text. Checked: the score equals, bit for bit, one
// computed the plain way (a lowered working copy, one product, pow); it is 1.0 for texts that
// cannot be judged and positive otherwise, never NaN; upper-casing the letters, or removing or
// adding spaces, digits and punctuation, leaves it unchanged; the word test and the random-name
// verdict agree with references written from their definitions.
#include "namescan/letter_pair_score.h"
#include "namescan/letter_pair_table.h"
#include "namescan/random_name.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void check(bool ok, const char *what, const std::string &text) {
    if (ok)
        return;
    std::fprintf(stderr, "letter_pair_fuzzer: %s; text of %zu bytes:", what, text.size());
    for (unsigned char c : text)
        std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

bool is_lower(unsigned char c) {
    return c >= 'a' && c <= 'z';
}

bool is_upper(unsigned char c) {
    return c >= 'A' && c <= 'Z';
}

// A byte that makes the text impossible to judge: control, DEL, or not ASCII.
bool is_unjudged(unsigned char c) {
    return c < 0x20 || c >= 0x7F;
}

// The score as the rule states it, step by step over a working copy.
double reference_score(const std::string &text) {
    std::string letters;
    for (unsigned char c : text) {
        if (is_unjudged(c))
            return 1.0;
        if (is_lower(c))
            letters += static_cast<char>(c);
        else if (is_upper(c))
            letters += static_cast<char>(c - 'A' + 'a');
    }
    if (letters.size() < 2)
        return 1.0;
    double product = 1.0;
    for (std::size_t i = 0; i + 1 < letters.size(); i++)
        product *= LetterPairTable[(letters[i] - 'a') * LETTER_COUNT + (letters[i + 1] - 'a')];
    std::size_t pairs = letters.size() - 1;
    double mean = std::pow(product, 1.0 / static_cast<double>(pairs));
    return (1.0 / mean) * static_cast<double>(pairs < 20 ? pairs : 20);
}

bool reference_is_capitalized_word(const std::string &text) {
    if (text.empty() || !is_upper(static_cast<unsigned char>(text[0])))
        return false;
    for (std::size_t i = 1; i < text.size(); i++)
        if (!is_lower(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

// The text in a heap block of exactly its length and the NUL, so that reading past it is caught.
struct ExactText {
    std::vector<char> bytes;
    explicit ExactText(const std::string &text) : bytes(text.begin(), text.end()) {
        bytes.push_back('\0');
        bytes.shrink_to_fit();
    }
    const char *c_str() const { return bytes.data(); }
};

double score(const std::string &text) {
    ExactText exact(text);
    double result = letter_pair_score(exact.c_str());
    check(std::memcmp(exact.c_str(), text.c_str(), text.size() + 1) == 0, "the text was changed",
          text);
    return result;
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(std::strlen(text.c_str()));

    const double result = score(text);
    check(!std::isnan(result), "the score is NaN", text);
    check(same_bits(result, reference_score(text)), "the score differs from the reference", text);
    std::size_t letters = 0;
    bool unjudged = false;
    for (unsigned char c : text) {
        letters += is_lower(c) || is_upper(c);
        unjudged |= is_unjudged(c);
    }
    if (unjudged || letters < 2)
        check(result == 1.0, "a text that cannot be judged does not score 1.0", text);
    else
        check(result > 0.0, "the score is not positive", text);

    std::string upper = text, stripped, padded;
    const char FILLERS[] = " -1_.!~@9";
    for (std::size_t i = 0; i < text.size(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (is_lower(c))
            upper[i] = static_cast<char>(c - 'a' + 'A');
        if (is_unjudged(c) || is_lower(c) || is_upper(c))
            stripped += text[i];
        padded += text[i];
        padded += FILLERS[(c + i) % (sizeof FILLERS - 1)];
    }
    check(same_bits(score(upper), result), "upper-casing changes the score", text);
    check(same_bits(score(stripped), result), "removing non-letters changes the score", text);
    check(same_bits(score(padded), result), "adding non-letters changes the score", text);

    ExactText exact(text);
    const bool word = reference_is_capitalized_word(text);
    check(is_capitalized_word(exact.c_str()) == word, "the word test differs from the reference",
          text);
    check(is_random_name(exact.c_str()) == (word && result > 1000.0),
          "the random-name verdict differs from word test and score", text);
    return 0;
}
