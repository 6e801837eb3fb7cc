// Finding ids: the server text they compare and the canonical bytes they digest.
#include "clsidscan/finding_ids.h"

#include "clsidscan/finding_files.h"
#include "files/name_case.h"
#include "registry/ascii_text.h"

#include <optional>
#include <random>

namespace {

void append_field(std::string &out, std::string_view field) {
    out += std::to_string(field.size());
    out += ':';
    out.append(field.data(), field.size());
}

} // namespace

std::string id_server(const FoundClass &found, Bitness view, const Environment &environment) {
    std::optional<ClassServer> server = finding_server(found);
    return server ? id_server_text(*server, view, environment) : std::string();
}

std::string id_server_text(const ClassServer &server, Bitness view,
                           const Environment &environment) {
    Bitness loads_in = server_process_view(server.kind, view);
    return id_folded_text(
        server.value.expand
            ? expand_environment(server.value.text, environment_for_view(environment, loads_in))
            : server.value.text,
        environment);
}

std::string id_folded_text(std::string_view value, const Environment &environment) {
    std::string text = fold_case(value);
    std::string profile = fold_case(environment.value("USERPROFILE"));
    while (!profile.empty() && profile.back() == '\\')
        profile.pop_back();
    if (profile.empty())
        return text;
    const std::string placeholder = "%userprofile%";
    std::string out;
    std::size_t at = 0;
    for (std::size_t found_at; (found_at = text.find(profile, at)) != std::string::npos;) {
        std::size_t end = found_at + profile.size();
        bool ends_name =
            end == text.size() || text[end] == '\\' || text[end] == '"' || text[end] == ' ';
        out.append(text, at, found_at - at);
        out += ends_name ? placeholder : profile;
        at = end;
    }
    out.append(text, at, std::string::npos);
    return out;
}

std::string finding_id_text(std::string_view rule, std::string_view view, std::string_view side,
                            std::string_view key, std::string_view server,
                            const std::vector<std::string> &judged) {
    std::string upper_key = ascii_raised(key);
    std::string out;
    out.reserve(32 + key.size() + server.size());
    for (std::string_view field : {rule, view, side, std::string_view(upper_key), server})
        append_field(out, field);
    for (const std::string &field : judged)
        append_field(out, field);
    return out;
}

std::string finding_id(const ClassesSides &sides, const RuleReport &report, const FoundClass &found,
                       const Environment &environment) {
    std::string view = std::to_string(view_bits(report.view));
    const char *side = found.class_key ? side_name_of(sides, *found.class_key) : "machine";
    std::vector<std::string> judged;
    for (const std::string &value : judged_values(found))
        judged.push_back(id_folded_text(value, environment));
    return id_digest(finding_id_text(rule_name(report.rule), view, side, found.key,
                                     id_server(found, report.view, environment), judged));
}

std::string id_hex(std::uint64_t id) {
    static const char digits[] = "0123456789abcdef";
    std::string hex(16, '0');
    for (int i = 15; i >= 0; i--, id >>= 4)
        hex[static_cast<std::size_t>(i)] = digits[id & 0xF];
    return hex;
}

bool parse_id(std::string_view text, std::uint64_t &id) {
    if (text.size() != 16)
        return false;
    id = 0;
    for (char c : text) {
        unsigned digit = c >= '0' && c <= '9'   ? unsigned(c - '0')
                         : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                         : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                                : 16u;
        if (digit == 16)
            return false;
        id = id << 4 | digit;
    }
    return true;
}

std::size_t IdHash::operator()(std::uint64_t id) const {
    static const std::uint64_t key = [] {
        std::random_device random;
        return (std::uint64_t(random()) << 32) ^ random();
    }();
    // The key, then a finaliser that spreads every input bit over the whole result.
    std::uint64_t mixed = id ^ key;
    mixed = (mixed ^ (mixed >> 30)) * 0xbf58476d1ce4e5b9ULL;
    mixed = (mixed ^ (mixed >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<std::size_t>(mixed ^ (mixed >> 31));
}
