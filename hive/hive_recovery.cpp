// Replay of new-format (HvLE entries) and old-format (DIRT bitmap) hive transaction logs.
#include "hive/hive_recovery.h"
#include "hive/hive_cells.h"

#include "hive/marvin32.h"
#include "registry/code_page.h"

#include <algorithm>
#include <cstring>

namespace {

// Base block fields.
constexpr std::size_t PRIMARY_SEQUENCE = 4;
constexpr std::size_t SECONDARY_SEQUENCE = 8;
constexpr std::size_t FILE_TYPE = 28;
constexpr std::size_t DATA_SIZE = HIVE_DATA_SIZE_FIELD;
constexpr std::size_t FILE_NAME = 0x30; // UTF-16LE, the last characters of the path loaded
constexpr std::size_t FILE_NAME_SIZE = 64;
constexpr std::size_t GUID_FIELDS[] = {0x70, 0x80, 0x94}; // RmId, LogId, TmId (Windows 8.1+)
constexpr std::size_t GUID_SIZE = 16;
constexpr char ZERO_GUID[GUID_SIZE] = {};
constexpr std::size_t CHECKSUM = HIVE_CHECKSUM_FIELD;

constexpr std::uint32_t FILE_TYPE_HIVE = 0;
constexpr std::uint32_t FILE_TYPE_OLD_LOG = 1;
constexpr std::uint32_t FILE_TYPE_NEW_LOG = 6;

constexpr std::uint64_t SECTOR = 512; // log entries and old-format pages are laid out in these
constexpr std::uint64_t HIVE_PAGE = 4096;
constexpr std::uint64_t ENTRY_HEADER_SIZE = 40;
constexpr std::uint64_t LARGEST_DATA_SIZE = 0xFFFFF000; // largest multiple of 4096 in a dword

const unsigned char *bytes_of(std::string_view bytes) {
    return reinterpret_cast<const unsigned char *>(bytes.data());
}

// Callers check that `at + 4` (or `at + 8`) lies within `bytes`.
std::uint32_t read32(std::string_view bytes, std::uint64_t at) {
    return hive_u32(bytes, std::size_t(at));
}

std::uint64_t read64(std::string_view bytes, std::uint64_t at) {
    return hive_u64(bytes, std::size_t(at));
}

void write32(std::string &bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(value >> (8 * i) & 0xFF);
}

std::string hex(std::uint64_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + text;
}

// A base block header that can be trusted: long enough, signed and with a matching checksum.
bool header_is_sound(std::string_view bytes) {
    return bytes.size() >= HIVE_HEADER_SIZE && bytes.compare(0, 4, "regf") == 0 &&
           read32(bytes, CHECKSUM) == hive_header_checksum(bytes_of(bytes));
}

struct ValidLog {
    const HiveLog *log = nullptr;
    std::uint32_t start = 0; // its starting sequence number
    bool old_format = false;
};

// Why a log cannot be used at all, or an empty string when it can.
std::string check_log(const HiveLog &log, ValidLog &valid) {
    const std::string &bytes = log.bytes;
    if (bytes.size() < HIVE_HEADER_SIZE)
        return "too short for a base block";
    if (bytes.compare(0, 4, "regf") != 0)
        return "no regf signature";
    if (read32(bytes, CHECKSUM) != hive_header_checksum(bytes_of(bytes)))
        return "bad base block checksum";
    const std::uint32_t primary = read32(bytes, PRIMARY_SEQUENCE);
    const std::uint32_t secondary = read32(bytes, SECONDARY_SEQUENCE);
    if (primary != secondary)
        return "sequence numbers differ (" + std::to_string(primary) + ", " +
               std::to_string(secondary) + ")";
    const std::uint32_t type = read32(bytes, FILE_TYPE);
    if (type != FILE_TYPE_NEW_LOG && type != FILE_TYPE_OLD_LOG)
        return "file type " + std::to_string(type) + " is not a log";
    valid.log = &log;
    valid.start = primary;
    valid.old_format = type == FILE_TYPE_OLD_LOG;
    return "";
}

// Bytes of a log that go to one place in the hive data.
struct PageCopy {
    std::uint64_t hive_offset; // relative to the start of the hive bins
    std::uint64_t log_offset;
    std::uint64_t size;
};

// One checked change: a new-format entry, or all of an old-format log.
struct Change {
    std::uint32_t sequence = 0;
    std::uint32_t data_size = 0; // of the hive bins after this change
    std::vector<PageCopy> pages;
    std::uint64_t end = 0; // where the next entry of the log would start
};

enum class ReadResult { Ok, End, Bad };

bool data_size_fits(std::uint64_t data_size, std::uint64_t max_data_size) {
    return data_size != 0 && data_size % HIVE_PAGE == 0 && data_size <= max_data_size;
}

// Reads and checks the new-format entry at `at`. End means no entry starts there; Bad gives
// the fault in `problem`.
ReadResult read_new_entry(const std::string &log, std::uint64_t at, std::uint64_t max_data_size,
                          Change &change, std::string &problem) {
    if (at + 4 > log.size() || log.compare(at, 4, "HvLE") != 0)
        return ReadResult::End;
    const std::uint64_t left = log.size() - at;
    if (left < ENTRY_HEADER_SIZE) {
        problem = "truncated";
        return ReadResult::Bad;
    }
    const std::uint64_t size = read32(log, at + 4);
    if (size < SECTOR || size % SECTOR != 0) {
        problem = "bad size " + hex(size);
        return ReadResult::Bad;
    }
    if (size > left) {
        problem = "truncated (size " + hex(size) + ", " + hex(left) + " bytes left)";
        return ReadResult::Bad;
    }
    const unsigned char *entry = bytes_of(log) + at;
    if (read64(log, at + 32) != marvin32(entry, 32) ||
        read64(log, at + 24) != marvin32(entry + ENTRY_HEADER_SIZE, size - ENTRY_HEADER_SIZE)) {
        problem = "bad hash";
        return ReadResult::Bad;
    }
    change.sequence = read32(log, at + 12);
    change.data_size = read32(log, at + 16);
    if (!data_size_fits(change.data_size, max_data_size)) {
        problem = "bad data size " + hex(change.data_size);
        return ReadResult::Bad;
    }
    const std::uint64_t page_count = read32(log, at + 20);
    std::uint64_t page_data = ENTRY_HEADER_SIZE + 8 * page_count;
    if (page_data > size) {
        problem = "page count " + std::to_string(page_count) + " too large";
        return ReadResult::Bad;
    }
    change.pages.clear();
    change.pages.reserve(page_count);
    for (std::uint64_t i = 0; i < page_count; ++i) {
        const std::uint64_t offset = read32(log, at + ENTRY_HEADER_SIZE + 8 * i);
        const std::uint64_t page_size = read32(log, at + ENTRY_HEADER_SIZE + 8 * i + 4);
        if (offset + page_size > change.data_size) {
            problem = "page at " + hex(offset) + " lies outside the hive data";
            return ReadResult::Bad;
        }
        if (page_size > size - page_data) {
            problem = "pages overrun the entry";
            return ReadResult::Bad;
        }
        change.pages.push_back({offset, at + page_data, page_size});
        page_data += page_size;
    }
    change.end = at + size;
    return ReadResult::Ok;
}

// Reads and checks an old-format log: a bitmap of dirty 512-byte pages, the pages after it.
ReadResult read_old_log(const std::string &log, std::uint64_t max_data_size, Change &change,
                        std::string &problem) {
    change.sequence = read32(log, PRIMARY_SEQUENCE);
    change.data_size = read32(log, DATA_SIZE);
    if (!data_size_fits(change.data_size, max_data_size)) {
        problem = "bad data size " + hex(change.data_size);
        return ReadResult::Bad;
    }
    if (log.size() < HIVE_HEADER_SIZE + 4 || log.compare(HIVE_HEADER_SIZE, 4, "DIRT") != 0) {
        problem = "no DIRT signature";
        return ReadResult::Bad;
    }
    const std::uint64_t bitmap_at = HIVE_HEADER_SIZE + 4;
    const std::uint64_t page_total = change.data_size / SECTOR;
    if (bitmap_at + page_total / 8 > log.size()) {
        problem = "dirty page bitmap truncated";
        return ReadResult::Bad;
    }
    std::uint64_t page_at = (bitmap_at + page_total / 8 + SECTOR - 1) / SECTOR * SECTOR;
    change.pages.clear();
    for (std::uint64_t page = 0; page < page_total; ++page) {
        if ((static_cast<unsigned char>(log[bitmap_at + page / 8]) >> (page % 8) & 1) == 0)
            continue;
        if (page_at + SECTOR > log.size()) {
            problem = "dirty pages truncated";
            return ReadResult::Bad;
        }
        PageCopy *last = change.pages.empty() ? nullptr : &change.pages.back();
        if (last != nullptr && last->hive_offset + last->size == page * SECTOR &&
            last->log_offset + last->size == page_at)
            last->size += SECTOR;
        else
            change.pages.push_back({page * SECTOR, page_at, SECTOR});
        page_at += SECTOR;
    }
    change.end = log.size();
    return ReadResult::Ok;
}

// Walks the changes of one log that follow each other from its starting sequence number,
// calling visit(change) on each; returns how many. `stop` tells what ended the walk unless it
// was a plain end of the entries.
template <typename Visit>
std::size_t walk_log(const ValidLog &valid, std::uint64_t max_data_size, Visit visit,
                     std::string &stop) {
    const std::string &bytes = valid.log->bytes;
    std::uint32_t expected = valid.start;
    std::uint64_t at = HIVE_HEADER_SIZE;
    std::size_t count = 0;
    for (;; ++count, ++expected) {
        if (valid.old_format && count == 1)
            return count;
        Change change;
        std::string problem;
        const ReadResult result = valid.old_format
                                      ? read_old_log(bytes, max_data_size, change, problem)
                                      : read_new_entry(bytes, at, max_data_size, change, problem);
        const std::string where =
            "entry " + std::to_string(count + 1) + " of " + valid.log->name + " at " + hex(at);
        if (result == ReadResult::End)
            return count;
        if (result == ReadResult::Bad) {
            stop = problem + " in " + where;
            return count;
        }
        // A lower number after the first entry is an older entry left in a reused log.
        if (change.sequence < expected && count > 0)
            return count;
        if (change.sequence != expected) {
            stop = "gap at " + std::to_string(expected) + ": " + where + " carries " +
                   std::to_string(change.sequence);
            return count;
        }
        visit(change);
        at = change.end;
    }
}

// Among the logs, the one whose last change in sequence is the newest; null if none has one.
const ValidLog *newest_log(const std::vector<ValidLog> &valid, std::uint64_t max_data_size) {
    const ValidLog *newest = nullptr;
    std::uint32_t newest_sequence = 0;
    for (const ValidLog &candidate : valid) {
        std::uint32_t last = 0;
        std::string stop;
        if (walk_log(
                candidate, max_data_size, [&](const Change &c) { last = c.sequence; }, stop) > 0 &&
            (newest == nullptr || last >= newest_sequence)) {
            newest = &candidate;
            newest_sequence = last;
        }
    }
    return newest;
}

// A checked change and the log whose bytes it copies.
struct PendingChange {
    const std::string *log;
    Change change;
};

// Copies the pages of `change` into `image`, which is already as long as the recovered hive:
// bytes beyond it would be cut off at the end anyway.
void apply_change(std::string &image, const std::string &log, const Change &change) {
    const std::uint64_t end = image.size() - HIVE_BASE_BLOCK_SIZE;
    for (const PageCopy &page : change.pages) {
        if (page.hive_offset >= end)
            continue;
        std::memcpy(&image[HIVE_BASE_BLOCK_SIZE + page.hive_offset], log.data() + page.log_offset,
                    std::min(page.size, end - page.hive_offset));
    }
}

std::string join(const std::vector<std::string> &parts, const char *separator) {
    std::string text;
    for (const std::string &part : parts)
        text += (text.empty() ? "" : separator) + part;
    return text;
}

} // namespace

std::uint32_t hive_header_checksum(const unsigned char *header) {
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < CHECKSUM; at += 4)
        sum ^= std::uint32_t(header[at]) | std::uint32_t(header[at + 1]) << 8 |
               std::uint32_t(header[at + 2]) << 16 | std::uint32_t(header[at + 3]) << 24;
    if (sum == 0xFFFFFFFF)
        return 0xFFFFFFFE;
    return sum == 0 ? 1 : sum;
}

bool hive_is_dirty(std::string_view image) {
    return !header_is_sound(image) ||
           read32(image, PRIMARY_SEQUENCE) != read32(image, SECONDARY_SEQUENCE);
}

HiveRecovery replay_hive_logs(std::string_view image, const std::vector<HiveLog> &logs,
                              std::string &recovered) {
    HiveRecovery result;
    recovered.clear();
    if (!hive_is_dirty(image))
        return result;

    std::vector<std::string> notes;
    std::vector<ValidLog> valid;
    std::uint64_t log_bytes = 0;
    for (const HiveLog &log : logs) {
        log_bytes += log.bytes.size();
        ValidLog checked;
        const std::string problem = check_log(log, checked);
        if (problem.empty())
            valid.push_back(checked);
        else
            notes.push_back(log.name + " skipped: " + problem);
    }
    std::stable_sort(valid.begin(), valid.end(),
                     [](const ValidLog &a, const ValidLog &b) { return a.start < b.start; });
    // The hive can only grow by pages the logs hold, which keeps memory bounded by the input.
    const std::uint64_t hive_data =
        image.size() > HIVE_BASE_BLOCK_SIZE ? image.size() - HIVE_BASE_BLOCK_SIZE : 0;
    const std::uint64_t max_data_size = std::min(LARGEST_DATA_SIZE, hive_data + log_bytes);

    const bool own_base_block = header_is_sound(image);
    std::vector<ValidLog> chain;
    const ValidLog *base_from = nullptr;
    if (own_base_block) {
        const std::uint32_t secondary = read32(image, SECONDARY_SEQUENCE);
        for (const ValidLog &log : valid) {
            if (log.start < secondary)
                notes.push_back(log.log->name + " skipped: stale (starts at " +
                                std::to_string(log.start) + ", hive at " +
                                std::to_string(secondary) + ")");
            else
                chain.push_back(log);
        }
    } else {
        base_from = newest_log(valid, max_data_size);
        notes.push_back(base_from == nullptr
                            ? "base block is bad"
                            : "base block is bad; taken from " + base_from->log->name);
        if (base_from != nullptr)
            chain.push_back(*base_from);
    }

    // Every change is checked before any is applied: the image is copied only when there is
    // something to apply, and then only as far as the recovered hive reaches.
    std::vector<PendingChange> changes;
    bool applied = false;
    std::uint32_t last_sequence = 0;
    std::uint32_t data_size = 0;
    for (const ValidLog &log : chain) {
        if (applied && log.start != std::uint32_t(last_sequence + 1)) {
            notes.push_back("gap at " + std::to_string(last_sequence + 1) + ": " + log.log->name +
                            " starts at " + std::to_string(log.start));
            break;
        }
        std::string stop;
        const std::size_t count = walk_log(
            log, max_data_size,
            [&](const Change &change) {
                changes.push_back({&log.log->bytes, change});
                last_sequence = change.sequence;
                data_size = change.data_size;
            },
            stop);
        if (!stop.empty())
            notes.push_back(stop);
        if (count == 0) {
            if (stop.empty())
                notes.push_back(log.log->name + " has no entries");
            break;
        }
        applied = true;
        result.logs_used.push_back(log.log->name);
    }

    if (!applied) {
        result.state = HiveState::NotRecovered;
        if (logs.empty())
            notes.push_back("no transaction logs");
        else if (valid.empty())
            notes.push_back("no valid log");
        else if (chain.empty())
            notes.push_back("no log to replay");
        result.reason = join(notes, "; ");
        return result;
    }

    const std::uint64_t size = HIVE_BASE_BLOCK_SIZE + std::uint64_t(data_size);
    recovered.reserve(size);
    recovered.assign(image.substr(0, size));
    recovered.resize(size, '\0');
    for (const PendingChange &pending : changes)
        apply_change(recovered, *pending.log, pending.change);
    if (base_from != nullptr) {
        std::memcpy(&recovered[0], base_from->log->bytes.data(), HIVE_HEADER_SIZE);
        write32(recovered, FILE_TYPE, FILE_TYPE_HIVE);
    }
    write32(recovered, PRIMARY_SEQUENCE, last_sequence);
    write32(recovered, SECONDARY_SEQUENCE, last_sequence);
    write32(recovered, DATA_SIZE, data_size);
    write32(recovered, CHECKSUM, hive_header_checksum(bytes_of(recovered)));
    result.state = HiveState::Recovered;
    result.sequence = last_sequence;
    result.reason = join(notes, "; ");
    return result;
}

HiveRecovery recover_hive(std::string &image, const std::vector<HiveLog> &logs) {
    std::string recovered;
    HiveRecovery result = replay_hive_logs(image, logs, recovered);
    if (result.state == HiveState::Recovered)
        image = std::move(recovered);
    return result;
}

std::uint64_t hive_extent(std::string_view head, std::uint64_t file_size) {
    if (!header_is_sound(head))
        return file_size;
    const std::uint64_t data_size =
        (std::uint64_t(read32(head, DATA_SIZE)) + HIVE_PAGE - 1) / HIVE_PAGE * HIVE_PAGE;
    return std::min(file_size, HIVE_BASE_BLOCK_SIZE + data_size);
}

bool hive_header_is_sound(std::string_view header) {
    return header_is_sound(header);
}

bool log_belongs_to_hive(std::string_view log_header, std::string_view hive_header) {
    if (log_header.size() < HIVE_HEADER_SIZE || hive_header.size() < HIVE_HEADER_SIZE ||
        log_header.compare(FILE_NAME, FILE_NAME_SIZE, hive_header, FILE_NAME, FILE_NAME_SIZE) != 0)
        return false;
    const std::string_view zero(ZERO_GUID, GUID_SIZE);
    for (std::size_t at : GUID_FIELDS) {
        const std::string_view log_guid = log_header.substr(at, GUID_SIZE);
        const std::string_view hive_guid = hive_header.substr(at, GUID_SIZE);
        if (log_guid != zero && hive_guid != zero && log_guid != hive_guid)
            return false;
    }
    return true;
}

std::string hive_header_file_name(std::string_view header) {
    std::u16string name;
    for (std::size_t at = FILE_NAME; at + 2 <= std::min(header.size(), FILE_NAME + FILE_NAME_SIZE);
         at += 2) {
        const char16_t unit = char16_t(bytes_of(header)[at] | bytes_of(header)[at + 1] << 8);
        if (unit == 0)
            break;
        name += unit;
    }
    return utf16_to_utf8(name);
}

std::string recovery_summary(const HiveRecovery &recovery) {
    switch (recovery.state) {
    case HiveState::Clean:
        return "clean";
    case HiveState::Recovered:
        return "dirty, recovered to sequence " + std::to_string(recovery.sequence) + " from " +
               join(recovery.logs_used, ", ") +
               (recovery.reason.empty() ? "" : " (" + recovery.reason + ")");
    case HiveState::NotRecovered:
        break;
    }
    return "dirty, not recovered (" + recovery.reason + ")";
}

std::string describe_recovery(const std::string &hive_name, const HiveRecovery &recovery) {
    return hive_name + ": " + recovery_summary(recovery) +
           (recovery.state == HiveState::NotRecovered ? "; read as it is" : "");
}
