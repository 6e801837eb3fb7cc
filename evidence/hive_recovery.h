// Dirty hive detection and replay of its transaction logs into an in-memory copy of the hive.
//
// A hive collected from a running system is often dirty: the latest changes are only in its
// logs (NAME.LOG1, NAME.LOG2, or NAME.LOG for the old format). recover_hive replays them into
// the image so that a reader sees the hive as the system last saw it. Everything works on bytes
// in memory; nothing here reads or writes files. Every offset and size read from the bytes is
// checked, and memory stays bounded by the sizes of the image and logs given.
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

// Replays the logs (given in any order) into `image` when it is dirty. On Recovered, `image`
// holds the recovered hive: both sequence numbers equal, data size set, checksum valid. On Clean
// and NotRecovered it is left untouched.
HiveRecovery recover_hive(std::string &image, const std::vector<HiveLog> &logs);

// One line for stderr telling what happened to the hive named `hive_name`.
std::string describe_recovery(const std::string &hive_name, const HiveRecovery &recovery);
