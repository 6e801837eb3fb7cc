// The string values of one key of a hive file, read with libhivex.
#include "hive/hive_strings.h"

#include "registry/code_page.h"

#include <hivex.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct HiveCloser {
    void operator()(hive_h *hive) const { hivex_close(hive); }
};
using Hive = std::unique_ptr<hive_h, HiveCloser>;

constexpr int REG_SZ_TYPE = 1, REG_EXPAND_SZ_TYPE = 2, REG_DWORD_TYPE = 4;

hive_node_h find_key(hive_h *hive, const std::vector<std::string> &key_path) {
    hive_node_h node = hivex_root(hive);
    for (const std::string &name : key_path) {
        if (node == 0)
            return 0;
        // hivex_node_get_child compares names without regard to ASCII case.
        node = hivex_node_get_child(hive, node, name.c_str());
    }
    return node;
}

std::string utf16le_text(const char *data, std::size_t size) {
    std::u16string text = utf16le_bytes_to_text(std::string(data, size));
    return utf16_to_utf8(text.substr(0, text.find(u'\0')));
}

Hive open_hive(const std::string &path, std::string &error) {
    errno = 0;
    Hive hive(hivex_open(path.c_str(), 0));
    if (!hive)
        error = path + ": libhivex cannot open it (" + std::strerror(errno) + ")";
    return hive;
}

bool read_strings(hive_h *hive, const std::vector<std::string> &key_path,
                  std::vector<HiveString> &out) {
    hive_node_h node = find_key(hive, key_path);
    if (node == 0)
        return true;
    std::unique_ptr<hive_value_h, decltype(&std::free)> values(hivex_node_values(hive, node),
                                                               &std::free);
    if (!values)
        return false;
    for (hive_value_h *value = values.get(); *value != 0; value++) {
        hive_type type;
        std::size_t size = 0;
        if (hivex_value_type(hive, *value, &type, &size) != 0 ||
            (type != REG_SZ_TYPE && type != REG_EXPAND_SZ_TYPE))
            continue;
        std::unique_ptr<char, decltype(&std::free)> name(hivex_value_key(hive, *value), &std::free);
        std::unique_ptr<char, decltype(&std::free)> data(
            hivex_value_value(hive, *value, &type, &size), &std::free);
        if (!name || !data || name.get()[0] == '\0')
            continue;
        out.push_back(
            HiveString{name.get(), utf16le_text(data.get(), size), type == REG_EXPAND_SZ_TYPE});
    }
    return true;
}

} // namespace

bool read_hive_strings(const std::string &path, const std::vector<std::string> &key_path,
                       std::vector<HiveString> &out, std::string &error) {
    Hive hive = open_hive(path, error);
    if (!hive)
        return false;
    if (!read_strings(hive.get(), key_path, out)) {
        error = path + ": the values of " + (key_path.empty() ? "its root" : key_path.back()) +
                " cannot be read";
        return false;
    }
    return true;
}

std::string current_control_set(hive_h *hive) {
    unsigned current = 1;
    hive_node_h select = find_key(hive, {"Select"});
    if (hive_value_h value = select ? hivex_node_get_value(hive, select, "Current") : 0) {
        hive_type type;
        std::size_t size = 0;
        if (hivex_value_type(hive, value, &type, &size) == 0 && type == REG_DWORD_TYPE) {
            int32_t number = hivex_value_dword(hive, value);
            if (number > 0 && number < 1000)
                current = static_cast<unsigned>(number);
        }
    }
    char control_set[32];
    std::snprintf(control_set, sizeof control_set, "ControlSet%03u", current);
    return control_set;
}

bool read_system_environment(const std::string &path, std::vector<HiveString> &out,
                             std::string &error) {
    Hive hive = open_hive(path, error);
    if (!hive)
        return false;
    std::string control_set = current_control_set(hive.get());
    if (!read_strings(hive.get(), {control_set, "Control", "Session Manager", "Environment"},
                      out)) {
        error = path + ": the values of Session Manager\\Environment cannot be read";
        return false;
    }
    return true;
}

HiveImageFile::HiveImageFile(std::string_view image) {
    fd_ = memfd_create("hive-image", MFD_CLOEXEC);
    for (std::size_t written = 0; fd_ >= 0 && written < image.size();) {
        ssize_t n = write(fd_, image.data() + written, image.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd_);
            fd_ = -1;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
}

HiveImageFile::~HiveImageFile() {
    if (fd_ >= 0)
        close(fd_);
}

std::string HiveImageFile::path() const {
    return fd_ < 0 ? std::string() : "/proc/self/fd/" + std::to_string(fd_);
}

bool read_hive_image_strings(const std::string &path, std::string_view image,
                             const std::vector<std::vector<std::string>> &key_paths,
                             std::vector<std::vector<HiveString>> &out, std::string &error) {
    HiveImageFile file(image);
    out.assign(key_paths.size(), {});
    bool read = !file.path().empty();
    for (std::size_t i = 0; read && i < key_paths.size(); i++)
        read = read_hive_strings(file.path(), key_paths[i], out[i], error);
    if (!read)
        error = path + ": cannot be read for its settings (" + std::strerror(errno) + ")";
    return read;
}

bool read_system_image_environment(const std::string &path, std::string_view image,
                                   std::vector<HiveString> &out, std::string &error) {
    HiveImageFile file(image);
    if (file.path().empty() || !read_system_environment(file.path(), out, error)) {
        error = path + ": the values of Session Manager\\Environment cannot be read (" +
                std::strerror(errno) + ")";
        return false;
    }
    return true;
}
