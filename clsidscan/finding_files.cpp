// The server file of each finding, resolved and examined as Windows would find it for its view.
#include "clsidscan/finding_files.h"

#include "registry/code_page.h"

namespace {

constexpr unsigned long REG_SZ_TYPE = 1, REG_EXPAND_SZ_TYPE = 2;

// The default string of the subkey `name` of `key`, with its type, when there is one.
std::optional<ServerValue> default_string(const MemoryKey &key, std::u16string_view name,
                                          ServerKind kind) {
    const MemoryRegistry names = memory_utf16_tree();
    const MemoryKey *sub = memory_child(names, key, text_to_utf16le_bytes(std::u16string(name)));
    if (!sub)
        return std::nullopt;
    for (const MemoryValue &value : sub->values)
        if (value.name.empty() && (value.type == REG_SZ_TYPE || value.type == REG_EXPAND_SZ_TYPE)) {
            std::u16string text = utf16le_bytes_to_text(value.data);
            text.resize(std::min(text.size(), text.find(u'\0')));
            return ServerValue{utf16_to_utf8(text),
                               value.type == REG_EXPAND_SZ_TYPE ? ValueType::ExpandString
                                                                : ValueType::String,
                               kind};
        }
    return std::nullopt;
}

} // namespace

std::optional<ServerValue> finding_server(const FoundClass &found) {
    const MemoryKey *key = found.server_class ? found.server_class : found.class_key;
    if (!key)
        return std::nullopt;
    if (auto inproc = default_string(*key, u"InprocServer32", ServerKind::InProcess))
        return inproc;
    return default_string(*key, u"LocalServer32", ServerKind::CommandLine);
}

ServerView server_view(ScanView view) {
    return view == ScanView::Bits32 ? ServerView::Bits32 : ServerView::Bits64;
}

void examine_findings(std::vector<RuleReport> &reports, VolumeFiles &volume,
                      const Environment &environment) {
    for (RuleReport &report : reports)
        for (FoundClass &found : report.found) {
            std::optional<ServerValue> server = finding_server(found);
            if (!server)
                continue;
            ServerView view = server->kind == ServerKind::CommandLine ? ServerView::Bits64
                                                                      : server_view(report.view);
            found.server_file =
                examine_server(volume, server->text, server->type, server->kind, view, environment);
        }
}
