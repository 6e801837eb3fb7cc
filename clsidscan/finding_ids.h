// Finding ids: a short digest of what makes a finding the same on another machine or in another
// run (rule, view, side, class key, server), and the server text it is taken over.
#pragma once

#include "classes/classes_merge.h"
#include "clsidscan/finding_files.h"
#include "files/server_path.h"
#include "rules/class_scan.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The server of a finding as ids compare it: the finding's server value (finding_server), expanded
// as Windows expands it for the process that loads or starts it (REG_EXPAND_SZ only) with
// `environment`, its ASCII letters lowered, and each place where the user's profile folder
// (USERPROFILE in `environment`, letter case aside) ends at a backslash, a quote, a space or the
// end written "%userprofile%". Empty when the finding names no server.
std::string id_server(const FoundClass &found, Bitness view, const Environment &environment);
// The same for a server value as finding_server gives it.
std::string id_server_text(const ClassServer &server, Bitness view, const Environment &environment);

// A registry text as ids compare it: ASCII letters lowered, the user's profile folder written
// "%userprofile%" as in id_server_text (nothing expanded).
std::string id_folded_text(std::string_view value, const Environment &environment);

// The bytes an id digests: for each of rule ("bare", "name", "shadow"), view ("64", "32"), side
// ("machine", "user", "both"), class key (ASCII letters raised), id server and then each of
// `judged` (the other values the rule judged, judged_values folded with id_folded_text), its
// length in bytes in decimal, a colon, and its bytes. Length-prefixed, so no two field lists give
// one text.
std::string finding_id_text(std::string_view rule, std::string_view view, std::string_view side,
                            std::string_view key, std::string_view server,
                            const std::vector<std::string> &judged = {});

// The first 16 hex digits (8 bytes) of the SHA-256 of `text`, lowercase; empty when this build
// has no SHA-256 (then findings carry no id).
std::string id_digest(std::string_view text);

// A finding's id, from the view it was found in and the environment its server is resolved with
// (the machine's, or the user's for a user's view).
std::string finding_id(const ClassesSides &sides, const RuleReport &report, const FoundClass &found,
                       const Environment &environment);

// The 16 lowercase hex digits of an id held as a number.
std::string id_hex(std::uint64_t id);
// An id from 16 hex digits (either case); false when `text` is not that.
bool parse_id(std::string_view text, std::uint64_t &id);

// The hash of ids in tables of ids read from files (baselines, other machines' findings), which
// an attacker may have written: keyed with a number drawn when the program starts, so that no
// set of ids can be chosen to fall into one bucket and make each look-up walk them all.
struct IdHash {
    std::size_t operator()(std::uint64_t id) const;
};
