// The references that make Windows load a class, read from hive files with libhivex.
#include "evidence/class_loaders.h"

#include "hive/hive_strings.h"
#include "registry/ascii_text.h"
#include "registry/code_page.h"

#include <hivex.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

struct HiveCloser {
    void operator()(hive_h *hive) const { hivex_close(hive); }
};
using Hive = std::unique_ptr<hive_h, HiveCloser>;
using Held = std::unique_ptr<char, decltype(&std::free)>;

constexpr int REG_SZ_TYPE = 1, REG_EXPAND_SZ_TYPE = 2;
// The most subkeys or values of one key looked at; a hostile hive may claim more.
constexpr std::size_t MOST_ENTRIES = 200000;

hive_node_h child(hive_h *hive, hive_node_h node, const char *name) {
    return node == 0 ? 0 : hivex_node_get_child(hive, node, name);
}

hive_node_h find_key(hive_h *hive, hive_node_h node, const std::vector<const char *> &path) {
    for (const char *name : path)
        node = child(hive, node, name);
    return node;
}

std::string node_name(hive_h *hive, hive_node_h node) {
    Held name(hivex_node_name(hive, node), &std::free);
    return name ? name.get() : std::string();
}

// What names a class or enables profiling is short (a CLSID is 78 bytes in UTF-16): longer
// strings are not read, so values that share one large data cell cannot multiply memory.
constexpr std::size_t MOST_STRING_BYTES = 512;

// A string value's text up to its first NUL; false for other types and longer strings.
bool value_text(hive_h *hive, hive_value_h value, std::string &text) {
    hive_type type;
    std::size_t size = 0;
    if (hivex_value_type(hive, value, &type, &size) != 0 ||
        (type != REG_SZ_TYPE && type != REG_EXPAND_SZ_TYPE) || size > MOST_STRING_BYTES)
        return false;
    Held data(hivex_value_value(hive, value, &type, &size), &std::free);
    if (!data)
        return false;
    std::u16string wide = utf16le_bytes_to_text(std::string(data.get(), size));
    text = utf16_to_utf8(wide.substr(0, wide.find(u'\0')));
    return true;
}

bool default_text(hive_h *hive, hive_node_h node, std::string &text) {
    hive_value_h value = node == 0 ? 0 : hivex_node_get_value(hive, node, "");
    return value != 0 && value_text(hive, value, text);
}

std::vector<hive_node_h> children(hive_h *hive, hive_node_h node) {
    std::vector<hive_node_h> out;
    if (node == 0)
        return out;
    std::unique_ptr<hive_node_h, decltype(&std::free)> list(hivex_node_children(hive, node),
                                                            &std::free);
    for (hive_node_h *at = list.get(); at && *at != 0 && out.size() < MOST_ENTRIES; at++)
        out.push_back(*at);
    return out;
}

struct NamedValue {
    std::string name, text;
    bool is_string;
};
std::vector<NamedValue> values(hive_h *hive, hive_node_h node) {
    std::vector<NamedValue> out;
    if (node == 0)
        return out;
    std::unique_ptr<hive_value_h, decltype(&std::free)> list(hivex_node_values(hive, node),
                                                             &std::free);
    for (hive_value_h *at = list.get(); at && *at != 0 && out.size() < MOST_ENTRIES; at++) {
        Held name(hivex_value_key(hive, *at), &std::free);
        NamedValue value{name ? name.get() : std::string(), std::string(), false};
        value.is_string = value_text(hive, *at, value.text);
        out.push_back(std::move(value));
    }
    return out;
}

struct Reader {
    hive_h *hive;
    bool user;
    std::string prefix; // "HKLM\SOFTWARE" or "HKCU"
    std::vector<ClassLoader> *out;

    void add(const std::string &clsid, LoaderKind kind, const std::string &place,
             const std::string &value) {
        if (is_clsid_text(clsid))
            out->push_back(ClassLoader{clsid, kind, user, false, place, value});
    }

    static std::string joined(const std::vector<const char *> &path) {
        std::string text;
        for (const char *name : path)
            text += std::string("\\") + name;
        return text;
    }

    // Each subkey named by a CLSID (Browser Helper Objects, AMSI and credential providers).
    void subkeys_named(hive_node_h base, const std::vector<const char *> &path, LoaderKind kind) {
        hive_node_h node = find_key(hive, base, path);
        for (hive_node_h sub : children(hive, node)) {
            std::string name = node_name(hive, sub);
            add(name, kind, prefix + joined(path) + "\\" + name, "(key)");
        }
    }
    // Each subkey's default value (ShellIconOverlayIdentifiers).
    void subkey_defaults(hive_node_h base, const std::vector<const char *> &path, LoaderKind kind) {
        hive_node_h node = find_key(hive, base, path);
        for (hive_node_h sub : children(hive, node)) {
            std::string text;
            if (default_text(hive, sub, text))
                add(text, kind, prefix + joined(path) + "\\" + node_name(hive, sub), "(default)");
        }
    }
    // Values named by a CLSID (ShellExecuteHooks, Approved), or whose data is one
    // (ShellServiceObjectDelayLoad).
    void value_names(hive_node_h base, const std::vector<const char *> &path, LoaderKind kind) {
        for (const NamedValue &value : values(hive, find_key(hive, base, path)))
            add(value.name, kind, prefix + joined(path), value.name);
    }
    void value_data(hive_node_h base, const std::vector<const char *> &path, LoaderKind kind) {
        for (const NamedValue &value : values(hive, find_key(hive, base, path)))
            if (value.is_string)
                add(value.text, kind, prefix + joined(path),
                    value.name.empty() ? "(default)" : value.name);
    }

    // The Explorer, AMSI and credential provider references of a SOFTWARE-like key (the
    // SOFTWARE root, or NTUSER.DAT's Software), and of its Wow6432Node.
    void software_keys(hive_node_h software, const std::string &software_place) {
        for (bool wow : {false, true}) {
            hive_node_h base = wow ? child(hive, software, "Wow6432Node") : software;
            if (base == 0)
                continue;
            prefix = software_place + (wow ? "\\Wow6432Node" : "");
            const char *ms = "Microsoft", *win = "Windows", *cv = "CurrentVersion",
                       *ex = "Explorer";
            subkey_defaults(base, {ms, win, cv, ex, "ShellIconOverlayIdentifiers"},
                            LoaderKind::IconOverlay);
            value_data(base, {ms, win, cv, "ShellServiceObjectDelayLoad"}, LoaderKind::DelayLoad);
            value_names(base, {ms, win, cv, ex, "ShellExecuteHooks"}, LoaderKind::ShellExecuteHook);
            subkeys_named(base, {ms, win, cv, ex, "Browser Helper Objects"},
                          LoaderKind::BrowserHelper);
            value_names(base, {ms, win, cv, "Shell Extensions", "Approved"},
                        LoaderKind::ApprovedExtension);
            subkeys_named(base, {ms, "AMSI", "Providers"}, LoaderKind::AmsiProvider);
            subkeys_named(base, {ms, win, cv, "Authentication", "Credential Providers"},
                          LoaderKind::CredentialProvider);
            subkeys_named(base, {ms, win, cv, "Authentication", "Credential Provider Filters"},
                          LoaderKind::CredentialProvider);
        }
    }

    // The handlers under one class's shellex key: each handler type's default, each handler's
    // name when it is a CLSID, else its default.
    void shellex(hive_node_h cls, const std::string &place) {
        hive_node_h ex = child(hive, cls, "shellex");
        for (hive_node_h type : children(hive, ex)) {
            std::string type_place = place + "\\shellex\\" + node_name(hive, type);
            std::string text;
            if (default_text(hive, type, text))
                add(text, LoaderKind::ShellHandler, type_place, "(default)");
            for (hive_node_h handler : children(hive, type)) {
                std::string name = node_name(hive, handler);
                if (is_clsid_text(name))
                    add(name, LoaderKind::ShellHandler, type_place + "\\" + name, "(key)");
                else if (default_text(hive, handler, text))
                    add(text, LoaderKind::ShellHandler, type_place + "\\" + name, "(default)");
            }
        }
    }

    // The shell handlers of the classes root: *, AllFilesystemObjects, Directory (and its
    // Background), Folder, Drive, and each file class, through its extension's ProgID.
    void classes(hive_node_h root, const std::string &root_place) {
        std::unordered_map<std::string, hive_node_h> by_name;
        std::vector<std::pair<std::string, hive_node_h>> extensions;
        for (hive_node_h cls : children(hive, root)) {
            std::string name = node_name(hive, cls);
            by_name.emplace(ascii_lowered(name), cls);
            if (name.size() > 1 && name[0] == '.')
                extensions.emplace_back(name, cls);
        }
        for (const char *name : {"*", "AllFilesystemObjects", "Directory", "Folder", "Drive"}) {
            auto found = by_name.find(ascii_lowered(name));
            if (found == by_name.end())
                continue;
            shellex(found->second, root_place + "\\" + name);
            if (std::strcmp(name, "Directory") == 0)
                shellex(child(hive, found->second, "Background"),
                        root_place + "\\Directory\\Background");
        }
        // Many extensions may name one ProgID: each class is read once, so the work stays
        // that of the hive's own keys.
        std::unordered_set<hive_node_h> read;
        for (const auto &[name, key] : extensions) {
            if (read.insert(key).second)
                shellex(key, root_place + "\\" + name);
            std::string program;
            if (!default_text(hive, key, program) || program.empty())
                continue;
            auto found = by_name.find(ascii_lowered(program));
            if (found != by_name.end() && read.insert(found->second).second)
                shellex(found->second, root_place + "\\" + program);
        }
    }

    // COR_PROFILER / CORECLR_PROFILER when the same environment enables profiling.
    void environment(hive_node_h node, const std::string &place) {
        std::vector<NamedValue> variables = values(hive, node);
        auto variable = [&](const char *name) -> const std::string * {
            for (const NamedValue &value : variables)
                if (value.is_string && ascii_lowered(value.name) == ascii_lowered(name))
                    return &value.text;
            return nullptr;
        };
        for (const char *runtime : {"COR", "CORECLR"}) {
            const std::string *enabled =
                variable((std::string(runtime) + "_ENABLE_PROFILING").c_str());
            std::string profiler_name = std::string(runtime) + "_PROFILER";
            const std::string *profiler = variable(profiler_name.c_str());
            if (enabled && *enabled == "1" && profiler)
                if (is_clsid_text(*profiler))
                    out->push_back(ClassLoader{*profiler, LoaderKind::Profiler, user, false, place,
                                               profiler_name});
        }
    }
};

Hive open_hive(const std::string &path, std::string &error) {
    errno = 0;
    Hive hive(hivex_open(path.c_str(), 0));
    if (!hive)
        error = path + ": libhivex cannot open it (" + std::strerror(errno) + ")";
    return hive;
}

// Reads the references of an open hive of `kind`.
void read_loaders(hive_h *hive, HiveKind kind, std::vector<ClassLoader> &out) {
    hive_node_h root = hivex_root(hive);
    Reader reader{hive, kind != HiveKind::Software, std::string(), &out};
    switch (kind) {
    case HiveKind::Software:
        reader.software_keys(root, "HKLM\\SOFTWARE");
        reader.classes(child(hive, root, "Classes"), "HKLM\\SOFTWARE\\Classes");
        break;
    case HiveKind::NtUser:
        reader.software_keys(child(hive, root, "Software"), "HKCU\\Software");
        reader.environment(child(hive, root, "Environment"), "HKCU\\Environment");
        reader.classes(find_key(hive, root, {"Software", "Classes"}), "HKCU\\Software\\Classes");
        break;
    case HiveKind::UserClasses:
        reader.classes(root, "HKCU\\Software\\Classes");
        break;
    }
}

} // namespace

bool read_hive_loaders(const std::string &path, HiveKind kind, std::vector<ClassLoader> &out,
                       std::string &error) {
    Hive hive = open_hive(path, error);
    if (!hive)
        return false;
    read_loaders(hive.get(), kind, out);
    return true;
}

bool read_hive_image_loaders(const std::string &path, std::string_view image, HiveKind kind,
                             std::vector<ClassLoader> &out, std::string &error) {
    // libhivex opens files only: the image goes to it through an anonymous in-memory file.
    HiveImageFile file(image);
    Hive hive = file.path().empty() ? nullptr : open_hive(file.path(), error);
    if (!hive) {
        error = path + ": cannot be read for what it loads (" + std::strerror(errno) + ")";
        return false;
    }
    read_loaders(hive.get(), kind, out);
    return true;
}

bool read_system_loaders(const std::string &path, std::vector<ClassLoader> &out,
                         std::string &error) {
    Hive hive = open_hive(path, error);
    if (!hive)
        return false;
    hive_node_h root = hivex_root(hive.get());
    std::string control_set = current_control_set(hive.get());
    Reader reader{hive.get(), false, std::string(), &out};
    reader.environment(find_key(hive.get(), root,
                                {control_set.c_str(), "Control", "Session Manager", "Environment"}),
                       "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment");
    return true;
}
