// libFuzzer target: carving deleted keys from a hive image; the input is the image itself.
//
// The seeds (corpus/hive_carve) are small hives made with tests/hive_fixture.h, some with keys
// deleted the way Windows leaves them, so mutations land in live and freed records alike.
//
// Each run checks: every carved key lies on an 8-byte boundary inside the hive bins the base
// block gives, has a path of named keys no deeper than the registry allows, and the keys, their
// values and the work done (positions looked at, parent links followed) stay within bounds set
// by the input's size, whatever loops, shared cells or absurd counts it holds.
#include "hive/hive_carve.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "hive_carve_fuzzer: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string image(reinterpret_cast<const char *>(data), size);
    const HiveCarveWork before = hive_carve_work();
    const HiveCarving carving =
        carve_deleted_keys(image, [](const std::vector<std::string> &) { return true; });
    const HiveCarveWork after = hive_carve_work();
    check(after.positions - before.positions <= size / 8 + 1, "more positions than the image has");
    check(after.parent_steps - before.parent_steps <= 2 * (size / 8) + 4096,
          "parent links followed more than once per key");
    check(carving.keys.size() <= carving.deleted, "more keys kept than found");
    check(carving.deleted + carving.orphans <= size / 80 + 1, "more keys than records fit");
    std::size_t value_bytes = 0;
    for (const CarvedKey &key : carving.keys) {
        check(key.offset % 8 == 0 && key.offset >= 4096 + 32 && key.offset < size,
              "a key outside the hive bins");
        check(!key.path.empty() && key.path.size() <= 512, "a path of no key or too deep");
        // The key's own name passed the checks; live keys above it are as the hive has them.
        check(!key.path.back().empty() && key.path.back().size() <= 2048,
              "an empty or overlong name");
        for (const CarvedValue &value : key.values) {
            check(value.recoverable || value.data.empty(), "data kept for an unrecoverable value");
            value_bytes += value.data.size() + value.name.size();
        }
    }
    check(value_bytes <= 8 * size + 65536, "values outgrow the input");
    return 0;
}
