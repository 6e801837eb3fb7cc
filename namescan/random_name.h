// The random-name rule: is a class description one capitalised word that looks made up?
#pragma once

// A description is listed only when its letter-pair score is strictly greater than this.
constexpr double SCORE_THRESHOLD = 1000.0;

// True when the first byte is A-Z and every later byte, up to the NUL, is a-z. A single capital
// passes; the empty text, a second capital, a digit, a space or a byte of 0x80 and above fails.
bool is_capitalized_word(const char *text);

// True when the description is a capitalised word whose letter-pair score exceeds
// SCORE_THRESHOLD (+infinity included).
bool is_random_name(const char *description);
