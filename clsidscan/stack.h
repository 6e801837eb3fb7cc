// clsid-scan --stack: the findings of many machines, one line per id with the number of machines
// and users that have it, rarest first.
#pragma once

#include "clsidscan/scan_output.h"

#include <cstdint>
#include <string>
#include <vector>

// A set of small numbers (machines or users, numbered as first met): a sorted list while it is
// sparse, a bitmap once the bitmap is the smaller. So a finding that every machine of a large
// fleet has costs a bit a machine, and a rare one a few words. Numbers that come out of order
// wait at the list's end until they are a fifth of it, then are sorted into it, so that no order
// of the lines makes each insert move the whole list.
class MemberSet {
  public:
    // Adds `member`; `universe` is how many members there are so far (more than `member`).
    void insert(std::uint32_t member, std::uint32_t universe);
    std::uint32_t size() const;
    // The members, in increasing order.
    std::vector<std::uint32_t> members() const;
    // How many numbers inserts and merges have moved or written so far.
    std::uint64_t work() const { return work_; }

  private:
    void merge_waiting() const;
    // Sorted up to `sorted_`; after it the numbers waiting, in the order they came.
    mutable std::vector<std::uint32_t> sparse_;
    std::vector<std::uint64_t> bits_;
    mutable std::uint32_t count_ = 0, sorted_ = 0;
    mutable std::uint64_t work_ = 0;
};

// Reads the JSON Lines of `files` (clsid-scan's findings, from --system, plain runs or --live),
// `jobs` parts at a time (0: one a core), and prints one line per id: machines, users, id, rule,
// view, side, key, description, server and sha256 (each text the smallest of its id's lines),
// rarest first, then by id, as text (tab-separated, with a header), JSON Lines or CSV. The
// machine of a line is its "machine_hex", else "machine", else the file's name as given; its user
// the pair of machine and "user_hex" or "user", when it names one. Returns the exit code.
int run_stack(const std::vector<std::string> &files, ReportFormat format, unsigned jobs);
