// Dirty hive detection and replay of its transaction logs into an in-memory copy of the hive.
//
// A hive collected from a running system is often dirty: the latest changes are only in its
// logs (NAME.LOG1, NAME.LOG2, or NAME.LOG for the old format). recover_hive replays them into
// the image so that a reader sees the hive as the system last saw it. Everything works on bytes
// in memory; nothing here reads or writes files. Every offset and size read from the bytes is
// checked, and memory stays bounded by the sizes of the image and logs given: the primary is
// copied only when a change is applied, and then only as far as the recovered hive reaches.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One transaction log as read from disk; the name is used in messages only.
struct HiveLog {
    std::string name;
    std::string bytes;
};

enum class HiveState {
    Clean,       // not dirty: the logs were not looked at
    Recovered,   // at least one log entry was applied; the image was replaced
    NotRecovered // dirty, but nothing could be applied; the image is as it was
};

struct HiveRecovery {
    HiveState state = HiveState::Clean;
    std::uint32_t sequence = 0;         // Recovered: sequence number of the last change applied
    std::vector<std::string> logs_used; // names of the logs whose changes were applied, in order
    std::string reason; // NotRecovered: why; Recovered: notes (skipped logs, where replay stopped)
};

// Size of the base block; the hive bins start right after it.
constexpr std::size_t HIVE_BASE_BLOCK_SIZE = 4096;
// Bytes of the base block the checksum covers (and that a log keeps a copy of).
constexpr std::size_t HIVE_HEADER_SIZE = 512;
// Offsets in the base block of the hive bins data size and of the checksum.
constexpr std::size_t HIVE_DATA_SIZE_FIELD = 40;
constexpr std::size_t HIVE_CHECKSUM_FIELD = 508;

// Checksum of a 512-byte base block header: XOR of its first 127 dwords, 0 and ~0 avoided.
std::uint32_t hive_header_checksum(const unsigned char *header);

// True when the base block is unusable (too short, no signature, wrong checksum) or its two
// sequence numbers differ.
bool hive_is_dirty(std::string_view image);

// Replays the logs (given in any order) over the hive `primary` when it is dirty. On Recovered,
// `recovered` holds the recovered hive: both sequence numbers equal, data size set, checksum
// valid, 4096 + its hive bins size long; it is the only copy made, taken once every change to
// apply has been checked. On Clean and NotRecovered, `recovered` is left empty: `primary` is the
// hive.
HiveRecovery replay_hive_logs(std::string_view primary, const std::vector<HiveLog> &logs,
                              std::string &recovered);
// The same in place: on Recovered, `image` is replaced by the recovered hive; on Clean and
// NotRecovered it is left untouched.
HiveRecovery recover_hive(std::string &image, const std::vector<HiveLog> &logs);

// How many bytes at the start of a file of `file_size` bytes whose first bytes are `head` the
// hive takes: the base block and its hive bins size (in whole pages) when the base block is
// sound and the file holds that much; else the whole file. What lies beyond is no part of the
// hive (libhivex does not read it either), however long the file.
std::uint64_t hive_extent(std::string_view head, std::uint64_t file_size);

// Whether the base block at the start of `header` is sound (signature and checksum), so that what
// it says of its hive can be trusted.
bool hive_header_is_sound(std::string_view header);
// Whether the log whose base block is `log_header` (sound) may be a log of the hive whose base
// block is `hive_header`: a log starts with a copy of its hive's base block, so the hive's file
// name (UTF-16 at 0x30) must be the same, and so must each of the GUIDs of Windows 8.1 and later
// (RmId at 0x70, LogId at 0x80, TmId at 0x94) that both carry.
bool log_belongs_to_hive(std::string_view log_header, std::string_view hive_header);
// The hive's file name a base block carries (as Windows last loaded it), for messages; empty
// when it carries none.
std::string hive_header_file_name(std::string_view header);

// One line for stderr telling what happened to the hive named `hive_name`.
std::string describe_recovery(const std::string &hive_name, const HiveRecovery &recovery);
// What the logs did, without the file name and without what follows for the read ("dirty, not
// recovered (no transaction logs)"): to be added to an error about the hive.
std::string recovery_summary(const HiveRecovery &recovery);
