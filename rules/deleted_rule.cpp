// The deleted rule over a view with carved class keys put back (see deleted_rule.h).
#include "rules/deleted_rule.h"

#include "registry/ascii_text.h"
#include "registry/code_page.h"
#include "scanframe/scanframe.h"

namespace {

constexpr unsigned long REG_SZ_TYPE = 1, REG_EXPAND_SZ_TYPE = 2;

const char LABEL_LOCAL_SERVER32[] = "\\LocalServer32 \t";
const char LABEL_DELETED[] = "\\(deleted)     \t";
static_assert(sizeof LABEL_LOCAL_SERVER32 - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_DELETED - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");

bool is_named(const std::string &stored, const char16_t *name) {
    std::u16string a = utf16le_bytes_to_text(stored), b = name;
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_upper(a[i]) != ascii_upper(b[i]))
            return false;
    }
    return true;
}

std::string in_code_page(unsigned code_page, const std::string &utf8) {
    std::u16string wide;
    return utf8_to_utf16(utf8, wide) ? utf16_to_code_page(code_page, wide) : utf8;
}

std::string description_of(const MemoryKey &key) {
    for (const MemoryValue &value : key.values)
        if (value.name.empty() && (value.type == REG_SZ_TYPE || value.type == REG_EXPAND_SZ_TYPE)) {
            std::u16string text = utf16le_bytes_to_text(value.data);
            return utf16_to_utf8(text.substr(0, text.find(u'\0')));
        }
    return std::string();
}

} // namespace

RuleReport scan_deleted_classes(const MemoryRegistry &view, Bitness which,
                                const std::vector<RecoveredClass> &recovered,
                                const ViewEnvironments &environments) {
    RuleReport report;
    report.view = which;
    report.rule = ScanRule::Deleted;
    report.deleted = true;
    const MemoryKey *clsid = classes_clsid(view, which);
    ReportText text{};
    if (!report_create(text)) {
        report.out_of_memory = true;
        return report;
    }
    for (const RecoveredClass &cls : recovered) {
        if (cls.wow != (which == Bitness::Bits32) || !clsid)
            continue;
        bool server_deleted = is_named(cls.deleted_subkey, u"InprocServer32") ||
                              is_named(cls.deleted_subkey, u"LocalServer32");
        const MemoryKey *key = memory_child(view, *clsid, cls.key);
        if (!key || (!cls.class_deleted && !server_deleted))
            continue;
        std::optional<ClassServer> server = class_server(key);
        std::vector<std::string> place =
            server ? first_place(*server, which, environments) : std::vector<std::string>();
        FileLocation location =
            place.empty() ? FileLocation::Other : classify_location(place, environments.locations);
        bool user_writable =
            location == FileLocation::UserWritable || location == FileLocation::UserCreatable;
        if (cls.side == ClassesSide::Machine && !user_writable)
            continue;
        unsigned code_page = view.code_page;
        std::string what =
            std::string(cls.class_deleted
                            ? "class key"
                            : utf16_to_utf8(utf16le_bytes_to_text(cls.deleted_subkey))) +
            " deleted from the " + (cls.side == ClassesSide::User ? "user's" : "machine's") +
            " classes (" + carved_image_name(cls.image) + " image)";
        std::string key_name = utf16_to_code_page(code_page, utf16le_bytes_to_text(key->name));
        std::string description = in_code_page(code_page, description_of(*key));
        std::string server_text = server ? in_code_page(code_page, server->value.text) : "";
        std::string what_text = in_code_page(code_page, what);
        EntryLine lines[3] = {{LABEL_DESCRIPTION, description.c_str()}};
        std::size_t count = 1;
        if (server)
            lines[count++] = {server->kind == ServerKind::InProcess ? LABEL_INPROC_SERVER32
                                                                    : LABEL_LOCAL_SERVER32,
                              server_text.c_str()};
        lines[count++] = {LABEL_DELETED, what_text.c_str()};
        std::size_t start = text.length;
        if (!append_entry(text, key_name.c_str(), lines, count, true)) {
            report.out_of_memory = true;
            break;
        }
        FoundClass found;
        found.entry.assign(text.text + start, text.length - start);
        found.class_key = key;
        found.key = utf16_to_utf8(utf16le_bytes_to_text(key->name));
        found.description = description_of(*key);
        found.server_path = server ? server->value.text : std::string();
        found.from_user = cls.side == ClassesSide::User;
        found.written = cls.written;
        report.found.push_back(std::move(found));
    }
    report.text.assign(text.text, text.length);
    report_release(text);
    return report;
}
