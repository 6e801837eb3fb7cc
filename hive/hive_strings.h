// The string values of one key of a hive file, for the few settings read outside the classes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct HiveString {
    std::string name;  // UTF-8
    std::string value; // UTF-8, up to its first NUL
    bool expand;       // REG_EXPAND_SZ rather than REG_SZ
};

// The REG_SZ and REG_EXPAND_SZ values of the key at `key_path` (names matched without regard to
// letter case) in the hive file `path`, which must be a regular file. A missing key gives no
// values and no error; a file libhivex cannot open is an error naming it.
bool read_hive_strings(const std::string &path, const std::vector<std::string> &key_path,
                       std::vector<HiveString> &out, std::string &error);

struct hive_h;
// "ControlSet00N", the control set a SYSTEM hive's Select\Current names (the one the system boots
// with); ControlSet001 when it names none that can be.
std::string current_control_set(hive_h *hive);

// The current control set's Session Manager\Environment of a SYSTEM hive file: the machine's
// own environment variables.
bool read_system_environment(const std::string &path, std::vector<HiveString> &out,
                             std::string &error);

// A hive image held in memory (one replayed from its logs) as a file libhivex can open: an
// anonymous in-memory file, named by `path()` while this lives; `path()` is empty when it could
// not be made.
class HiveImageFile {
  public:
    explicit HiveImageFile(std::string_view image);
    ~HiveImageFile();
    HiveImageFile(const HiveImageFile &) = delete;
    HiveImageFile &operator=(const HiveImageFile &) = delete;
    std::string path() const;

  private:
    int fd_ = -1;
};

// read_hive_strings over the image of the hive file `path`, for each of `key_paths` (`out` gets
// one list a key); errors name `path`.
bool read_hive_image_strings(const std::string &path, std::string_view image,
                             const std::vector<std::vector<std::string>> &key_paths,
                             std::vector<std::vector<HiveString>> &out, std::string &error);
// read_system_environment over the image of the SYSTEM hive file `path`.
bool read_system_image_environment(const std::string &path, std::string_view image,
                                   std::vector<HiveString> &out, std::string &error);
