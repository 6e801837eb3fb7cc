// libFuzzer target: the hive log replay over a primary hive and logs decoded from the input.
//
// The input is read front to back (past its end every byte reads as 0).
//
//   flags      bit 0: raw mode (below); bit 1: the primary's sequence numbers differ;
//              bit 2: the primary's checksum is broken; bit 3: the primary is cut or extended;
//              bits 4-5: number of logs
//   primary    data pages (1 + byte % 4, each an hbin of 4 KiB), secondary sequence number
//              (byte), fill byte, then (bit 3) a signed byte: 256-byte steps to cut or add
//   log        kind (bit 0: old format; bit 1: broken base block checksum; bit 2: unequal
//              sequence numbers; bit 3: not a log type; bit 4: an old-format log's data size
//              from a byte of its own instead of its bitmap length; bit 5: the log starts where
//              the previous one ended), start (unless bit 5: byte - 4, added to the primary's
//              secondary sequence number), entry count (byte % 6), the entries, then
//              trailing bytes (a count byte and that many bytes)
//   entry      control (bit 0: a hash broken after hashing; bit 1: raw size field; bits 2-3:
//              sequence number as expected, one more, one less, or a byte more; bit 4: raw data
//              size; bit 5: raw page references; bit 6: the log is cut inside this entry), then in
//              order: the byte added to the sequence number (bits 2-3 = 3), data pages (1 + byte
//              % 6, or a dword), page count (byte % 4), per page an offset and a size (bytes in
//              512-byte units, or dwords) and a fill byte, the size dword (bit 1), the byte that
//              picks the hash byte to break (bit 0), the byte that picks where to cut (bit 6)
//   old log    data pages (1 + byte % 6), the bitmap (one byte per 4 KiB), a fill byte, a cut
//              byte (64-byte steps taken off the end), then (kind bit 4) data pages (1 + byte % 8)
//   raw mode   the primary and up to three logs as blobs of a 16-bit length each; the hashes of
//              every well-sized HvLE entry in the logs are made right, so that the replay is
//              reached with hostile fields.
//
// Each run checks: a clean primary is left alone; an unrecovered one is left exactly as given;
// a recovered one has a valid checksum, equal sequence numbers that match the result, a data size
// that matches the image length, and stays within the size of the input.
#include "hive/hive_recovery.h"
#include "hive/marvin32.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "hive_recovery_fuzzer: %s\n", what);
    std::abort();
}

void check(bool ok, const char *what) {
    if (!ok)
        fail(what);
}

struct Reader {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t at = 0;

    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    std::size_t word() {
        const std::size_t low = byte();
        return low | std::size_t(byte()) << 8;
    }
    std::uint32_t dword() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= std::uint32_t(byte()) << (8 * i);
        return value;
    }
    std::string blob(std::size_t length) {
        length = std::min(length, size - std::min(size, at));
        std::string bytes(reinterpret_cast<const char *>(data) + at, length);
        at += length;
        return bytes;
    }
};

void put32(std::string &bytes, std::size_t at, std::uint64_t value, int width = 4) {
    for (int i = 0; i < width; ++i)
        bytes[at + i] = char(value >> (8 * i));
}

std::uint32_t get32(const std::string &bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void seal_header(std::string &bytes) {
    put32(bytes, 508, hive_header_checksum(reinterpret_cast<const unsigned char *>(bytes.data())));
}

std::string header(std::uint32_t primary, std::uint32_t secondary, std::uint32_t type,
                   std::uint32_t data_size) {
    std::string bytes(512, '\0');
    bytes.replace(0, 4, "regf");
    put32(bytes, 4, primary);
    put32(bytes, 8, secondary);
    put32(bytes, 20, 1);
    put32(bytes, 24, 5);
    put32(bytes, 28, type);
    put32(bytes, 32, 1);
    put32(bytes, 36, 0x20);
    put32(bytes, 40, data_size);
    seal_header(bytes);
    return bytes;
}

void hash_entry(std::string &log, std::size_t at) {
    const auto *entry = reinterpret_cast<const unsigned char *>(log.data()) + at;
    put32(log, at + 24, marvin32(entry + 40, get32(log, at + 4) - 40), 8);
    put32(log, at + 32, marvin32(entry, 32), 8);
}

// Makes the hashes of the entries right wherever their size lets them be found.
void hash_entries(std::string &log) {
    for (std::size_t at = 512; at + 40 <= log.size() && log.compare(at, 4, "HvLE") == 0;) {
        const std::uint32_t size = get32(log, at + 4);
        if (size < 512 || size % 512 != 0 || size > log.size() - at)
            return;
        hash_entry(log, at);
        at += size;
    }
}

std::string make_primary(Reader &in, std::uint8_t flags) {
    const std::uint32_t pages = 1 + in.byte() % 4;
    const std::uint32_t secondary = 100 + in.byte();
    const std::uint32_t primary = (flags & 2) != 0 ? secondary + 1 : secondary;
    std::string image = header(primary, secondary, 0, pages * 4096);
    image.resize(4096);
    const char fill = char(in.byte());
    for (std::uint32_t page = 0; page < pages; ++page) {
        std::string bin(4096, fill);
        bin.replace(0, 4, "hbin");
        put32(bin, 4, page * 4096);
        put32(bin, 8, 4096);
        image += bin;
    }
    if ((flags & 4) != 0)
        image[100] = char(image[100] ^ 1);
    if ((flags & 8) != 0) {
        const int steps = static_cast<std::int8_t>(in.byte());
        image.resize(std::size_t(std::max<long>(0, long(image.size()) + 256L * steps)), 'z');
    }
    return image;
}

std::string make_entry(Reader &in, std::uint32_t &sequence, bool &cut) {
    const std::uint8_t control = in.byte();
    switch (control >> 2 & 3) {
    case 1:
        sequence += 1;
        break;
    case 2:
        sequence -= 1;
        break;
    case 3:
        sequence += in.byte();
        break;
    default:
        break;
    }
    const std::uint32_t data_size = (control & 16) != 0 ? in.dword() : (1 + in.byte() % 6) * 4096;
    const std::uint32_t page_count = in.byte() % 4;
    std::string references, pages;
    for (std::uint32_t i = 0; i < page_count; ++i) {
        const bool raw = (control & 32) != 0;
        const std::uint32_t offset = raw ? in.dword() : in.byte() * 512u;
        const std::uint32_t size = raw ? in.dword() : (1 + in.byte() % 16) * 512u;
        std::string reference(8, '\0');
        put32(reference, 0, offset);
        put32(reference, 4, size);
        references += reference;
        pages += std::string(std::min<std::uint32_t>(size, 8192), char(in.byte()));
    }
    std::string entry = "HvLE" + std::string(36, '\0') + references + pages;
    entry.resize((entry.size() + 511) / 512 * 512, '\0');
    put32(entry, 4, (control & 2) != 0 ? in.dword() : entry.size());
    put32(entry, 12, sequence);
    put32(entry, 16, data_size);
    put32(entry, 20, page_count);
    if (get32(entry, 4) <= entry.size() && get32(entry, 4) >= 40)
        hash_entry(entry, 0);
    if ((control & 1) != 0)
        entry[24 + in.byte() % 16] ^= 1;
    if ((control & 64) != 0) {
        entry.resize(in.byte() % entry.size());
        cut = true;
    }
    sequence += 1;
    return entry;
}

std::string make_old_body(Reader &in, std::uint32_t &pages) {
    pages = 1 + in.byte() % 6;
    std::string body = "DIRT" + in.blob(pages);
    body.resize(4 + pages, '\0');
    std::size_t dirty = 0;
    for (std::size_t i = 4; i < body.size(); ++i)
        for (int bit = 0; bit < 8; ++bit)
            dirty += static_cast<unsigned char>(body[i]) >> bit & 1;
    body.resize((body.size() + 511) / 512 * 512, '\0');
    body += std::string(dirty * 512, char(in.byte()));
    body.resize(body.size() - std::min<std::size_t>(body.size(), in.byte() * 64u));
    return body;
}

// `follow` is the sequence number after the previous log's entries; it is updated.
HiveLog make_log(Reader &in, std::uint32_t secondary, std::uint32_t &follow, int number) {
    const std::uint8_t kind = in.byte();
    const std::uint32_t start = (kind & 32) != 0 ? follow : secondary + in.byte() - 4;
    follow = start + 1;
    const bool old_format = (kind & 1) != 0;
    std::string log;
    if (old_format) {
        std::uint32_t pages = 0;
        const std::string body = make_old_body(in, pages);
        if ((kind & 16) != 0)
            pages = 1 + in.byte() % 8;
        log = header(start, start, 1, pages * 4096) + body;
    } else {
        log = header(start, start, 6, 4096);
        std::uint32_t sequence = start;
        bool cut = false;
        for (int count = in.byte() % 6; count > 0 && !cut; --count)
            log += make_entry(in, sequence, cut);
        follow = sequence;
    }
    if ((kind & 4) != 0)
        put32(log, 8, start + 1);
    if ((kind & 8) != 0)
        put32(log, 28, 0);
    if ((kind & 12) != 0)
        seal_header(log);
    if ((kind & 2) != 0)
        log[200] = char(log[200] ^ 1);
    log += in.blob(in.byte());
    return HiveLog{"LOG" + std::to_string(number), log};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Reader in{data, size};
    const std::uint8_t flags = in.byte();
    const int log_count = flags >> 4 & 3;
    std::string image;
    std::vector<HiveLog> logs;
    if ((flags & 1) != 0) {
        image = in.blob(in.word());
        for (int i = 0; i < log_count; ++i) {
            logs.push_back(HiveLog{"LOG" + std::to_string(i + 1), in.blob(in.word())});
            hash_entries(logs.back().bytes);
        }
    } else {
        image = make_primary(in, flags);
        const std::uint32_t secondary = image.size() >= 12 ? get32(image, 8) : 0;
        std::uint32_t follow = secondary;
        for (int i = 0; i < log_count; ++i)
            logs.push_back(make_log(in, secondary, follow, i + 1));
    }

    const std::string given = image;
    std::size_t log_bytes = 0;
    for (const HiveLog &log : logs)
        log_bytes += log.bytes.size();
    const bool dirty = hive_is_dirty(image);
    const HiveRecovery result = recover_hive(image, logs);
    const std::string line = describe_recovery("hive", result);
    check(!line.empty() && line.find('\n') == std::string::npos, "description is not one line");

    switch (result.state) {
    case HiveState::Clean:
        check(!dirty, "a dirty hive was called clean");
        check(image == given, "a clean hive was changed");
        break;
    case HiveState::NotRecovered:
        check(dirty, "a clean hive was not recovered");
        check(image == given, "an unrecovered hive was changed");
        check(!result.reason.empty(), "no reason for an unrecovered hive");
        check(result.logs_used.empty(), "logs used for an unrecovered hive");
        break;
    case HiveState::Recovered: {
        check(dirty, "a clean hive was recovered");
        check(!hive_is_dirty(image), "the recovered hive is still dirty");
        check(get32(image, 4) == result.sequence && get32(image, 8) == result.sequence,
              "sequence numbers differ from the result");
        check(get32(image, 28) == 0, "the recovered hive is not of file type 0");
        const std::uint32_t data_size = get32(image, 40);
        check(data_size % 4096 == 0 && data_size != 0, "bad data size");
        check(image.size() == 4096 + std::size_t(data_size), "image length is not the data size");
        check(image.size() <= std::max<std::size_t>(given.size(), 4096) + log_bytes,
              "the image grew beyond the input");
        check(!result.logs_used.empty() && result.logs_used.size() <= logs.size(),
              "no log was used");
        for (const std::string &name : result.logs_used)
            check(std::any_of(logs.begin(), logs.end(),
                              [&](const HiveLog &log) { return log.name == name; }),
                  "an unknown log was used");
        break;
    }
    }
    return 0;
}
