// clsid-scan --stack: the findings of many machines, one line per id with the number of machines
// and users that have it, rarest first.
#pragma once

#include "clsidscan/scan_output.h"

#include <cstdint>
#include <string>
#include <vector>

// A set of small numbers (machines or users, numbered as first met): a sorted list while it is
// sparse, a bitmap once the bitmap is the smaller. So a finding that every machine of a large
// fleet has costs a bit a machine, and a rare one a few words.
class MemberSet {
  public:
    // Adds `member`; `universe` is how many members there are so far (more than `member`).
    void insert(std::uint32_t member, std::uint32_t universe);
    std::uint32_t size() const { return count_; }
    // The members, in increasing order.
    std::vector<std::uint32_t> members() const;

  private:
    std::vector<std::uint32_t> sparse_;
    std::vector<std::uint64_t> bits_;
    std::uint32_t count_ = 0;
};

// Reads the JSON Lines of `files` (clsid-scan's findings, from --system, plain runs or --live),
// `jobs` parts at a time (0: one a core), and prints one line per id: machines, users, id, rule,
// view, side, key, description, server and sha256 (each text the smallest of its id's lines),
// rarest first, then by id, as text (tab-separated, with a header), JSON Lines or CSV. The
// machine of a line is its "machine_hex", else "machine", else the file's name as given; its user
// the pair of machine and "user_hex" or "user", when it names one. Returns the exit code.
int run_stack(const std::vector<std::string> &files, ReportFormat format, unsigned jobs);
