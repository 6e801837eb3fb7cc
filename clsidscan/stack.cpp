// clsid-scan --stack: counts each finding id's machines and users over many machines' JSON Lines,
// reading parts of the files on several threads, each into a table of its own, then merged.
#include "clsidscan/stack.h"

#include "clsidscan/finding_ids.h"
#include "clsidscan/findings_json.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <thread>
#include <unordered_map>

void MemberSet::insert(std::uint32_t member, std::uint32_t universe) {
    if (!bits_.empty()) {
        if (member / 64 >= bits_.size())
            bits_.resize(member / 64 + 1);
        std::uint64_t bit = std::uint64_t(1) << (member % 64);
        count_ += (bits_[member / 64] & bit) == 0;
        bits_[member / 64] |= bit;
        return;
    }
    work_++;
    if (sorted_ == sparse_.size() && (sparse_.empty() || sparse_.back() < member)) {
        sparse_.push_back(member);
        sorted_++;
        count_++;
    } else if (std::binary_search(sparse_.begin(), sparse_.begin() + sorted_, member)) {
        return;
    } else {
        sparse_.push_back(member);
        if (sparse_.size() - sorted_ >= 64 + sorted_ / 4)
            merge_waiting();
    }
    // A list of n numbers takes 32 n bits, a bitmap one bit for each member there is.
    if (sparse_.size() >= 64 && std::uint64_t(sparse_.size()) * 32 > universe) {
        merge_waiting();
        bits_.assign(std::max<std::uint32_t>(universe, sparse_.back() + 1) / 64 + 1, 0);
        for (std::uint32_t each : sparse_)
            bits_[each / 64] |= std::uint64_t(1) << (each % 64);
        std::vector<std::uint32_t>().swap(sparse_);
        sorted_ = 0;
    }
}

// Sorts the waiting numbers into the list; none of them is in its sorted part.
void MemberSet::merge_waiting() const {
    if (sorted_ == sparse_.size())
        return;
    auto middle = sparse_.begin() + sorted_;
    std::sort(middle, sparse_.end());
    sparse_.erase(std::unique(middle, sparse_.end()), sparse_.end());
    count_ += static_cast<std::uint32_t>(sparse_.end() - middle);
    std::inplace_merge(sparse_.begin(), middle, sparse_.end());
    sorted_ = static_cast<std::uint32_t>(sparse_.size());
    work_ += sparse_.size();
}

std::uint32_t MemberSet::size() const {
    merge_waiting();
    return count_;
}

std::vector<std::uint32_t> MemberSet::members() const {
    merge_waiting();
    if (bits_.empty())
        return sparse_;
    std::vector<std::uint32_t> out;
    out.reserve(count_);
    for (std::size_t word = 0; word < bits_.size(); word++)
        for (std::uint64_t left = bits_[word]; left != 0; left &= left - 1)
            out.push_back(static_cast<std::uint32_t>(word * 64 + __builtin_ctzll(left)));
    return out;
}

namespace {

constexpr std::uint64_t PART_BYTES = std::uint64_t(64) << 20;

// What one id gathers: each text the smallest its lines gave (the SHA-256 the smallest given),
// so that the result does not depend on the order the lines come in.
struct StackEntry {
    std::string rule, side, key, description, server, sha256;
    std::int64_t view = 0;
    bool filled = false;
    MemberSet machines, users;
};

// Names numbered as first met; the last one looked up is kept at hand, since the lines of one
// machine come together.
struct Names {
    std::unordered_map<std::string, std::uint32_t> numbers;
    std::vector<const std::string *> names; // by number
    const std::string *last = nullptr;
    std::uint32_t last_number = 0;

    std::uint32_t number(std::string_view name) {
        if (last != nullptr && *last == name)
            return last_number;
        auto [entry, added] =
            numbers.try_emplace(std::string(name), static_cast<std::uint32_t>(names.size()));
        if (added)
            names.push_back(&entry->first);
        last = &entry->first;
        last_number = entry->second;
        return last_number;
    }
    std::uint32_t size() const { return static_cast<std::uint32_t>(names.size()); }
};

struct StackTable {
    std::unordered_map<std::uint64_t, StackEntry, IdHash> ids;
    Names machines, users;
    std::uint64_t lines = 0;
};

void keep_smallest(std::string &kept, std::string_view seen, bool first) {
    if (first || seen < kept)
        kept.assign(seen.data(), seen.size());
}

void keep_fields(StackEntry &entry, const StackEntry &from) {
    bool first = !entry.filled;
    keep_smallest(entry.rule, from.rule, first);
    keep_smallest(entry.side, from.side, first);
    keep_smallest(entry.key, from.key, first);
    keep_smallest(entry.description, from.description, first);
    keep_smallest(entry.server, from.server, first);
    if (!from.sha256.empty() && (entry.sha256.empty() || from.sha256 < entry.sha256))
        entry.sha256 = from.sha256;
    if (first || from.view < entry.view)
        entry.view = from.view;
    entry.filled = true;
}

// The user's name: the machine's, length first so that no two pairs make one text, and the user.
void user_name(std::string &out, std::string_view machine, std::string_view user) {
    out = std::to_string(machine.size());
    out += ':';
    out.append(machine.data(), machine.size());
    out.append(user.data(), user.size());
}

void add_line(StackTable &table, const FindingLine &line, const std::string &file,
              std::string &user_buffer) {
    table.lines++;
    std::string_view machine = line.has_machine ? line.machine : std::string_view(file);
    std::uint32_t machine_number = table.machines.number(machine);
    StackEntry &entry = table.ids[line.id];
    entry.machines.insert(machine_number, table.machines.size());
    if (line.has_user) {
        user_name(user_buffer, machine, line.user);
        entry.users.insert(table.users.number(user_buffer), table.users.size());
    }
    bool first = !entry.filled;
    keep_smallest(entry.rule, line.rule, first);
    keep_smallest(entry.side, line.side, first);
    keep_smallest(entry.key, line.key, first);
    keep_smallest(entry.description, line.description, first);
    keep_smallest(entry.server, line.server, first);
    if (!line.sha256.empty() && (entry.sha256.empty() || line.sha256 < entry.sha256))
        entry.sha256.assign(line.sha256.data(), line.sha256.size());
    if (first || line.view < entry.view)
        entry.view = line.view;
    entry.filled = true;
}

// Adds `from` to `into`, numbering its machines and users in `into`.
void merge_table(StackTable &into, const StackTable &from) {
    std::vector<std::uint32_t> machines(from.machines.size()), users(from.users.size());
    for (std::uint32_t i = 0; i < from.machines.size(); i++)
        machines[i] = into.machines.number(*from.machines.names[i]);
    for (std::uint32_t i = 0; i < from.users.size(); i++)
        users[i] = into.users.number(*from.users.names[i]);
    into.lines += from.lines;
    for (const auto &[id, entry] : from.ids) {
        StackEntry &kept = into.ids[id];
        keep_fields(kept, entry);
        for (std::uint32_t member : entry.machines.members())
            kept.machines.insert(machines[member], into.machines.size());
        for (std::uint32_t member : entry.users.members())
            kept.users.insert(users[member], into.users.size());
    }
}

// A part of one file: the lines that start in [begin, end).
struct Part {
    std::size_t file;
    std::uint64_t begin, end;
};

std::vector<Part> plan_parts(const std::vector<std::string> &files) {
    std::vector<Part> parts;
    for (std::size_t i = 0; i < files.size(); i++) {
        struct stat info;
        std::uint64_t size = std::numeric_limits<std::uint64_t>::max();
        if (stat(files[i].c_str(), &info) == 0 && S_ISREG(info.st_mode))
            size = static_cast<std::uint64_t>(info.st_size);
        if (size == std::numeric_limits<std::uint64_t>::max() || size <= PART_BYTES) {
            parts.push_back({i, 0, std::numeric_limits<std::uint64_t>::max()});
            continue;
        }
        for (std::uint64_t begin = 0; begin < size; begin += PART_BYTES)
            parts.push_back({i, begin,
                             begin + PART_BYTES >= size ? std::numeric_limits<std::uint64_t>::max()
                                                        : begin + PART_BYTES});
    }
    return parts;
}

std::string text_field(std::string_view text) {
    return printable_text(text);
}

std::string stack_row(ReportFormat format, std::uint64_t id, const StackEntry &entry) {
    std::string machines = std::to_string(entry.machines.size());
    std::string users = std::to_string(entry.users.size());
    std::string view = std::to_string(entry.view);
    if (format == ReportFormat::Json)
        return "{\"id\":\"" + id_hex(id) + "\",\"machines\":" + machines + ",\"users\":" + users +
               ",\"rule\":" + json_string(entry.rule) + ",\"view\":" + view +
               ",\"side\":" + json_string(entry.side) + ",\"key\":" + json_string(entry.key) +
               ",\"description\":" + json_string(entry.description) +
               ",\"server\":" + json_string(entry.server) + ",\"sha256\":" +
               (entry.sha256.empty() ? std::string("null") : json_string(entry.sha256)) + "}\n";
    const std::string fields[] = {machines,     users,       id_hex(id), entry.rule,
                                  view,         entry.side,  entry.key,  entry.description,
                                  entry.server, entry.sha256};
    std::string row;
    for (const std::string &field : fields) {
        if (!row.empty())
            row += format == ReportFormat::Csv ? "," : "\t";
        row += format == ReportFormat::Csv ? csv_field(field) : text_field(field);
    }
    return row + (format == ReportFormat::Csv ? "\r\n" : "\n");
}

bool write_out(const std::string &bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
}

} // namespace

namespace {

int stack_files(const std::vector<std::string> &files, ReportFormat format, unsigned jobs) {
    std::vector<Part> parts = plan_parts(files);
    if (jobs == 0)
        jobs = std::max(1u, std::thread::hardware_concurrency());
    jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, parts.size()));
    std::vector<StackTable> tables(jobs);
    std::vector<std::string> errors(parts.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    auto work = [&](unsigned worker) {
        StackTable &table = tables[worker];
        std::string user_buffer;
        for (std::size_t i; !stop && (i = next++) < parts.size();) {
            const Part &part = parts[i];
            const std::string &file = files[part.file];
            auto add = [&](const FindingLine &line, std::string &) {
                add_line(table, line, file, user_buffer);
                return true;
            };
            try {
                if (!read_finding_lines(file, part.begin, part.end, add, errors[i]))
                    stop = true;
            } catch (const std::bad_alloc &) {
                errors[i] = file + ": not enough memory to count its findings";
                stop = true;
            }
        }
    };
    std::vector<std::thread> workers;
    for (unsigned w = 1; w < jobs; w++)
        workers.emplace_back(work, w);
    work(0);
    for (std::thread &worker : workers)
        worker.join();
    // The first error in the order the files were given, whichever worker met it first.
    for (const std::string &error : errors)
        if (!error.empty()) {
            print_note(error);
            return 2;
        }

    for (unsigned w = 1; w < jobs; w++) {
        merge_table(tables[0], tables[w]);
        tables[w] = StackTable();
    }
    const StackTable &table = tables[0];
    std::vector<std::pair<std::uint64_t, const StackEntry *>> rows;
    rows.reserve(table.ids.size());
    for (const auto &[id, entry] : table.ids)
        rows.emplace_back(id, &entry);
    std::sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) {
        std::uint32_t left = a.second->machines.size(), right = b.second->machines.size();
        return left != right ? left < right : a.first < b.first;
    });

    std::string out =
        format == ReportFormat::Csv
            ? "machines,users,id,rule,view,side,key,description,server,sha256\r\n"
        : format == ReportFormat::Text
            ? "machines\tusers\tid\trule\tview\tside\tkey\tdescription\tserver\tsha256\n"
            : "";
    bool written = true;
    for (const auto &[id, entry] : rows) {
        out += stack_row(format, id, *entry);
        if (out.size() >= (std::size_t(1) << 20)) {
            written = written && write_out(out);
            out.clear();
        }
    }
    if (!written || !write_out(out) || std::fflush(stdout) != 0) {
        print_note(std::string("standard output: ") + std::strerror(errno));
        return 2;
    }
    print_note("--stack: " + std::to_string(table.lines) + " findings in " +
               std::to_string(files.size()) + " file" + (files.size() == 1 ? "" : "s") + ": " +
               std::to_string(rows.size()) + " ids on " + std::to_string(table.machines.size()) +
               " machine" + (table.machines.size() == 1 ? "" : "s") + ", " +
               std::to_string(table.users.size()) + " user" + (table.users.size() == 1 ? "" : "s"));
    return rows.empty() ? 0 : 1;
}

} // namespace

int run_stack(const std::vector<std::string> &files, ReportFormat format, unsigned jobs) {
    try {
        return stack_files(files, format, jobs);
    } catch (const std::bad_alloc &) {
        print_note("--stack: not enough memory for the ids, machines and users read");
        return 2;
    }
}
