// Reader of registry export files (.reg): text decoding, line parsing and the classes trees.
#include "evidence/reg_export.h"

#include "registry/code_page.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Text = std::u16string_view;

constexpr std::uint32_t NONE = UINT32_MAX;
constexpr int MACHINE = 0;
constexpr int USER = 1;

// ---- Names ----

bool names_equal(Text a, Text b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); i++)
        if (a[i] != b[i] && upper_case_unit(a[i]) != upper_case_unit(b[i]))
            return false;
    return true;
}

// A seed drawn per process, so that names chosen to collide in one run do not in another.
std::uint64_t hash_seed() {
    static const std::uint64_t seed =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        reinterpret_cast<std::uintptr_t>(&hash_seed) * 0x9E3779B97F4A7C15ULL;
    return seed;
}

// The hash of (owner, name) as the name comparison sees the name.
std::uint32_t name_hash(std::uint32_t owner, Text name) {
    std::uint64_t h = hash_seed() ^ (owner + 1ULL) * 0x9E3779B97F4A7C15ULL;
    for (char16_t c : name) {
        h ^= upper_case_unit(c);
        h *= 0x100000001B3ULL;
    }
    h ^= h >> 31;
    h *= 0xD6E8FEB86659FD93ULL;
    return static_cast<std::uint32_t>(h >> 32);
}

// Index from (owner, name) to an item: the children of each key by name, or its values by name.
// Open addressing with linear probing. A filled slot is never emptied: a deleted item stays in it
// until the next item of the same owner and name takes the slot over, so deleting and creating
// again does not make the index grow.
struct NameIndex {
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t item = NONE;
    };
    std::vector<Slot> slots = std::vector<Slot>(256);
    std::size_t used = 0;
};

// The slot of (owner, name), or the empty slot where it would go. `owner_and_name` gives an
// item's owner and name.
template <class OwnerAndName>
NameIndex::Slot &find_slot(NameIndex &index, std::uint32_t hash, std::uint32_t owner, Text name,
                           OwnerAndName owner_and_name) {
    const std::size_t mask = index.slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        NameIndex::Slot &slot = index.slots[i];
        if (slot.item == NONE)
            return slot;
        if (slot.hash == hash) {
            const std::pair<std::uint32_t, Text> found = owner_and_name(slot.item);
            if (found.first == owner && names_equal(found.second, name))
                return slot;
        }
    }
}

// Stores `item` in the slot find_slot returned; the slot reference is invalid afterwards.
void fill_slot(NameIndex &index, NameIndex::Slot &slot, std::uint32_t hash, std::uint32_t item) {
    const bool was_empty = slot.item == NONE;
    slot = {hash, item};
    if (!was_empty || ++index.used * 2 <= index.slots.size())
        return;
    std::vector<NameIndex::Slot> old(index.slots.size() * 2);
    old.swap(index.slots);
    const std::size_t mask = index.slots.size() - 1;
    for (const NameIndex::Slot &moved : old) {
        if (moved.item == NONE)
            continue;
        std::size_t i = moved.hash & mask;
        while (index.slots[i].item != NONE)
            i = (i + 1) & mask;
        index.slots[i] = moved;
    }
}

// ---- The trees being built ----

// Keys and values live in flat arrays linked by index; deleting is a flag and the emitted tree
// leaves deleted keys and values out. Names and data are kept in the strings the emitted tree
// takes over, so nothing is copied twice.
struct BuildKey {
    std::u16string name;
    std::uint32_t parent = NONE;
    std::uint32_t first_child = NONE, last_child = NONE, next_sibling = NONE;
    std::uint32_t first_value = NONE, last_value = NONE;
    bool removed = false;
};

struct BuildValue {
    std::u16string name;
    std::string data;
    std::uint32_t key = NONE, next = NONE;
    std::uint32_t type = 0;
    bool removed = false;
};

// A classes root being built: the machine's, or one user's.
struct ClassesRoot {
    std::u16string user;       // the user's name for messages: a SID, or HKEY_CURRENT_USER
    std::uint32_t key = NONE;  // the root key, made when first needed
    std::uint32_t cleared = 0; // users_cleared when the key was made: an older one is gone
    bool used = false;         // a [key] section (not a deletion) lay below it
};

// roots[MACHINE] is the machine's, roots[CURRENT_USER] HKEY_CURRENT_USER's; each user of
// HKEY_USERS follows in the order met, found by name through user_names.
constexpr std::uint32_t CURRENT_USER = 1;

struct TreeBuilder {
    std::vector<BuildKey> keys;
    std::vector<BuildValue> values;
    NameIndex children;    // owner: the parent key
    NameIndex value_names; // owner: the key
    std::vector<ClassesRoot> roots = std::vector<ClassesRoot>(2);
    NameIndex user_names;            // owner: 0; the users of HKEY_USERS
    std::uint32_t users_cleared = 0; // deletions of HKEY_USERS itself so far
};

std::uint32_t new_key(TreeBuilder &tree, std::uint32_t parent, Text name) {
    tree.keys.emplace_back();
    tree.keys.back().name.assign(name);
    tree.keys.back().parent = parent;
    return static_cast<std::uint32_t>(tree.keys.size() - 1);
}

// The root key of tree.roots[root], made afresh when there is none yet or when HKEY_USERS was
// deleted since (a user's).
std::uint32_t root_key(TreeBuilder &tree, std::uint32_t root) {
    ClassesRoot &classes = tree.roots[root];
    if (classes.key == NONE || (root != MACHINE && classes.cleared != tree.users_cleared)) {
        if (classes.key != NONE)
            tree.keys[classes.key].removed = true;
        classes.key = new_key(tree, NONE, Text());
        classes.cleared = tree.users_cleared;
    }
    return classes.key;
}

// Starts a classes root afresh: what was read below it is gone.
void reset_root(TreeBuilder &tree, std::uint32_t root) {
    if (tree.roots[root].key != NONE)
        tree.keys[tree.roots[root].key].removed = true;
    tree.roots[root].key = NONE;
}

// The live child `name` of `parent`; created at the end of its children when missing and `create`.
std::uint32_t child_key(TreeBuilder &tree, std::uint32_t parent, Text name, bool create) {
    const std::uint32_t hash = name_hash(parent, name);
    NameIndex::Slot &slot = find_slot(tree.children, hash, parent, name, [&](std::uint32_t item) {
        return std::make_pair(tree.keys[item].parent, Text(tree.keys[item].name));
    });
    if (slot.item != NONE && !tree.keys[slot.item].removed)
        return slot.item;
    if (!create)
        return NONE;
    const std::uint32_t key = new_key(tree, parent, name);
    BuildKey &owner = tree.keys[parent];
    if (owner.last_child == NONE)
        owner.first_child = key;
    else
        tree.keys[owner.last_child].next_sibling = key;
    owner.last_child = key;
    fill_slot(tree.children, slot, hash, key);
    return key;
}

NameIndex::Slot &value_slot(TreeBuilder &tree, std::uint32_t hash, std::uint32_t key, Text name) {
    return find_slot(tree.value_names, hash, key, name, [&](std::uint32_t item) {
        return std::make_pair(tree.values[item].key, Text(tree.values[item].name));
    });
}

// Sets a value; one of the same name (any case) keeps its place and spelling and takes the data.
void set_value(TreeBuilder &tree, std::uint32_t key, Text name, std::uint32_t type,
               const std::string &data) {
    const std::uint32_t hash = name_hash(key, name);
    NameIndex::Slot &slot = value_slot(tree, hash, key, name);
    std::uint32_t index = slot.item;
    if (index == NONE || tree.values[index].removed) {
        tree.values.emplace_back();
        tree.values.back().name.assign(name);
        tree.values.back().key = key;
        index = static_cast<std::uint32_t>(tree.values.size() - 1);
        BuildKey &owner = tree.keys[key];
        if (owner.last_value == NONE)
            owner.first_value = index;
        else
            tree.values[owner.last_value].next = index;
        owner.last_value = index;
        fill_slot(tree.value_names, slot, hash, index);
    }
    tree.values[index].type = type;
    tree.values[index].data.assign(data);
}

void delete_value(TreeBuilder &tree, std::uint32_t key, Text name) {
    const NameIndex::Slot &slot = value_slot(tree, name_hash(key, name), key, name);
    if (slot.item != NONE) {
        tree.values[slot.item].removed = true;
        std::string().swap(tree.values[slot.item].data);
    }
}

// Moves a built key and its live descendants into `out` (depth is bounded by the path limit).
// The builder's names are gone afterwards.
void emit_key(TreeBuilder &tree, std::uint32_t key, SourceKey &out) {
    BuildKey &built = tree.keys[key];
    out.name = std::move(built.name);
    std::size_t live = 0;
    for (std::uint32_t v = built.first_value; v != NONE; v = tree.values[v].next)
        live += tree.values[v].removed ? 0 : 1;
    out.values.reserve(live);
    for (std::uint32_t v = built.first_value; v != NONE; v = tree.values[v].next) {
        BuildValue &value = tree.values[v];
        if (!value.removed)
            out.values.push_back({std::move(value.name), value.type, std::move(value.data)});
    }
    live = 0;
    for (std::uint32_t c = built.first_child; c != NONE; c = tree.keys[c].next_sibling)
        live += tree.keys[c].removed ? 0 : 1;
    out.children.reserve(live);
    for (std::uint32_t c = built.first_child; c != NONE; c = tree.keys[c].next_sibling) {
        if (tree.keys[c].removed)
            continue;
        out.children.emplace_back();
        emit_key(tree, c, out.children.back());
    }
}

// ---- Text and lines ----

bool is_blank(char16_t c) {
    return c == u' ' || c == u'\t';
}

Text trim_leading(Text text) {
    std::size_t i = 0;
    while (i < text.size() && is_blank(text[i]))
        i++;
    return text.substr(i);
}

Text trim(Text text) {
    text = trim_leading(text);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool only_blanks(Text text) {
    return trim_leading(text).empty();
}

// 4 or 5 for the two accepted headers, 3 for the old Windows 3.1 "REGEDIT", 0 for anything else.
int header_version(Text line) {
    line = trim(line);
    if (line == u"REGEDIT4")
        return 4;
    if (line == u"Windows Registry Editor Version 5.00")
        return 5;
    return line == u"REGEDIT" ? 3 : 0;
}

// Up to `most` characters of a name for a message, control characters shown as '?'.
std::string printable(Text name, std::size_t most = 40) {
    std::u16string shown(name.substr(0, most));
    for (char16_t &c : shown)
        if (c < 0x20 || c == 0x7F)
            c = u'?';
    return utf16_to_utf8(shown) + (name.size() > most ? "..." : "");
}

enum class Encoding { Utf16, Utf8, CodePage };

// The file's lines as UTF-16, split at CRLF, LF or a lone CR and decoded one at a time (a line read
// stays valid until the next is read); `number` is that of the line last read.
struct LineReader {
    const std::string *bytes = nullptr;
    std::size_t pos = 0, end = 0; // the text without BOM and NUL padding
    Encoding encoding = Encoding::Utf8;
    unsigned code_page = 0;
    std::size_t number = 0;
    std::string raw;
    std::u16string line;
};

// ---- Where a key path goes ----

struct Placement {
    enum Kind {
        Elsewhere, // not classes: skipped
        Above,     // an ancestor of a classes root: only a deletion matters
        Classes    // in a side's classes
    } kind = Elsewhere;
    int side = MACHINE;
    Text wow;             // the Wow6432Node part when in that view, else empty
    std::size_t rest = 0; // Classes: first path part below the classes root
};

// Whose a path on the user side is: HKEY_CURRENT_USER's, or that of a user named below
// HKEY_USERS (neither for HKEY_USERS itself, which holds every user).
struct UserOfPath {
    bool current_user = false;
    Text name;
};

bool ends_with_name(Text name, Text suffix) {
    return name.size() > suffix.size() &&
           names_equal(name.substr(name.size() - suffix.size()), suffix);
}

// Below a hive root whose parts[base] is "Software": its Classes, its Wow6432Node\Classes.
Placement place_software(const std::vector<Text> &parts, std::size_t base, int side) {
    Placement above{Placement::Above, side, Text(), 0};
    if (parts.size() == base)
        return above;
    if (!names_equal(parts[base], u"SOFTWARE"))
        return {};
    if (parts.size() == base + 1)
        return above;
    if (names_equal(parts[base + 1], u"Classes"))
        return {Placement::Classes, side, Text(), base + 2};
    if (!names_equal(parts[base + 1], u"Wow6432Node"))
        return {};
    if (parts.size() == base + 2)
        return {Placement::Above, side, parts[base + 1], 0};
    if (names_equal(parts[base + 2], u"Classes"))
        return {Placement::Classes, side, parts[base + 1], base + 3};
    return {};
}

// False for an unknown root key.
bool place_path(const std::vector<Text> &parts, Placement &place, UserOfPath &user) {
    user = UserOfPath();
    const Text root = parts[0];
    auto is = [&](Text long_name, Text short_name) {
        return names_equal(root, long_name) || names_equal(root, short_name);
    };
    if (is(u"HKEY_CLASSES_ROOT", u"HKCR")) {
        place = {Placement::Classes, MACHINE, Text(), 1};
    } else if (is(u"HKEY_LOCAL_MACHINE", u"HKLM")) {
        place = place_software(parts, 1, MACHINE);
    } else if (is(u"HKEY_CURRENT_USER", u"HKCU")) {
        place = place_software(parts, 1, USER);
        user.current_user = true;
    } else if (is(u"HKEY_USERS", u"HKU")) {
        if (parts.size() >= 2 && ends_with_name(parts[1], u"_Classes")) {
            place = {Placement::Classes, USER, Text(), 2};
            user.name = parts[1].substr(0, parts[1].size() - Text(u"_Classes").size());
        } else if (parts.size() == 1) {
            place = {Placement::Above, USER, Text(), 0};
        } else {
            place = place_software(parts, 2, USER);
            user.name = parts[1];
        }
    } else if (is(u"HKEY_CURRENT_CONFIG", u"HKCC") || names_equal(root, u"HKEY_DYN_DATA") ||
               names_equal(root, u"HKEY_PERFORMANCE_DATA")) {
        place = {};
    } else {
        return false;
    }
    return true;
}

// ---- The parser ----

struct Parser {
    LineReader lines;
    int version = 0;
    TreeBuilder tree;
    enum { NoKeyYet, Skipping, InKey } state = NoKeyYet;
    std::uint32_t key = NONE;
    std::string error;
    // Buffers reused from line to line.
    std::vector<Text> parts;
    std::vector<Text> tree_path;
    std::u16string name, text;
    std::string data;
};

bool fail(Parser &parser, const std::string &message) {
    parser.error = "line " + std::to_string(parser.lines.number) + ": " + message;
    return false;
}

// False at the end of the text, or with parser.error set when the line is not valid UTF-8.
bool next_line(Parser &parser, Text &line) {
    LineReader &reader = parser.lines;
    if (reader.pos >= reader.end)
        return false;
    reader.number++;
    const std::string &bytes = *reader.bytes;
    std::size_t i = reader.pos;
    if (reader.encoding == Encoding::Utf16) {
        auto unit = [&](std::size_t at) {
            return static_cast<char16_t>(static_cast<unsigned char>(bytes[at]) |
                                         static_cast<unsigned char>(bytes[at + 1]) << 8);
        };
        reader.line.clear();
        for (; i < reader.end && unit(i) != u'\n' && unit(i) != u'\r'; i += 2)
            reader.line += unit(i);
        if (i < reader.end && unit(i) == u'\r' && i + 2 < reader.end && unit(i + 2) == u'\n')
            i += 2;
        reader.pos = i + 2;
    } else {
        while (i < reader.end && bytes[i] != '\n' && bytes[i] != '\r')
            i++;
        reader.raw.assign(bytes, reader.pos, i - reader.pos);
        if (i < reader.end && bytes[i] == '\r' && i + 1 < reader.end && bytes[i + 1] == '\n')
            i++;
        reader.pos = i + 1;
        if (reader.encoding == Encoding::CodePage)
            reader.line = code_page_to_utf16(reader.code_page, reader.raw);
        else if (!utf8_to_utf16(reader.raw, reader.line))
            return fail(parser, "invalid UTF-8");
    }
    line = reader.line;
    return true;
}

int hex_digit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Reads 1 to `max_digits` hex digits at `i`; false when there are none or more.
bool read_hex_number(Text text, std::size_t &i, std::size_t max_digits, unsigned long &number) {
    const std::size_t begin = i;
    number = 0;
    while (i < text.size() && hex_digit(text[i]) >= 0 && i - begin <= max_digits)
        number = number << 4 | static_cast<unsigned long>(hex_digit(text[i++]));
    return i > begin && i - begin <= max_digits;
}

bool starts_with_name(Text text, Text prefix) {
    return text.size() >= prefix.size() && names_equal(text.substr(0, prefix.size()), prefix);
}

// Reads a quoted text starting at text[i] == '"' into `out`; false when the line ends inside it.
bool read_quoted(Text text, std::size_t &i, std::u16string &out) {
    out.clear();
    for (i++; i < text.size(); i++) {
        const char16_t c = text[i];
        if (c == u'"') {
            i++;
            return true;
        }
        if (c != u'\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        const char16_t escaped = text[++i];
        switch (escaped) {
        case u'\\':
        case u'"':
            out += escaped;
            break;
        case u'n':
            out += u'\n';
            break;
        case u'r':
            out += u'\r';
            break;
        case u'0':
            out += u'\0';
            break;
        default: // not an escape: both characters stay
            out += u'\\';
            out += escaped;
        }
    }
    return false;
}

// Reads comma-separated hex bytes from `rest` on, over continuation lines, into parser.data.
bool read_hex_bytes(Parser &parser, Text rest) {
    for (;;) {
        std::size_t i = 0;
        bool continued = false;
        while (!continued) {
            while (i < rest.size() && is_blank(rest[i]))
                i++;
            if (i == rest.size())
                return true;
            if (rest[i] == u'\\') {
                if (!only_blanks(rest.substr(i + 1)))
                    return fail(parser, "text after the continuation '\\'");
                continued = true;
                continue;
            }
            unsigned long byte;
            if (!read_hex_number(rest, i, 2, byte))
                return fail(parser, "bad hex byte");
            parser.data += static_cast<char>(byte);
            while (i < rest.size() && is_blank(rest[i]))
                i++;
            if (i < rest.size() && rest[i] == u',')
                i++;
            else if (i < rest.size() && rest[i] != u'\\')
                return fail(parser, "expected ',' between hex bytes");
        }
        if (!next_line(parser, rest))
            return parser.error.empty() &&
                   fail(parser, "hex data goes on past the end of the file");
        if (only_blanks(rest))
            return fail(parser, "blank line where the hex data goes on");
    }
}

// The data after "name"=; sets type and parser.data, or `remove` for "-".
bool read_value_data(Parser &parser, Text data, unsigned long &type, bool &remove) {
    remove = false;
    parser.data.clear();
    if (!data.empty() && data[0] == u'-') {
        remove = true;
        return only_blanks(data.substr(1)) || fail(parser, "text after '-'");
    }
    if (!data.empty() && data[0] == u'"') {
        std::size_t i = 0;
        if (!read_quoted(data, i, parser.text))
            return fail(parser, "unterminated string");
        if (!only_blanks(data.substr(i)))
            return fail(parser, "text after the closing quote");
        parser.text += u'\0';
        for (char16_t c : parser.text) {
            parser.data += static_cast<char>(c & 0xFF);
            parser.data += static_cast<char>(c >> 8);
        }
        type = 1;
        return true;
    }
    if (starts_with_name(data, u"dword:")) {
        std::size_t i = 6;
        unsigned long number;
        if (!read_hex_number(data, i, 8, number) || !only_blanks(data.substr(i)))
            return fail(parser, "bad dword value (expected 1 to 8 hex digits)");
        for (int shift = 0; shift < 32; shift += 8)
            parser.data += static_cast<char>(number >> shift & 0xFF);
        type = 4;
        return true;
    }
    if (!starts_with_name(data, u"hex"))
        return fail(parser, "unknown value data (expected \"text\", dword:, hex: or -)");
    std::size_t i = 3;
    type = 3;
    if (i < data.size() && data[i] == u'(') {
        i++;
        if (!read_hex_number(data, i, 8, type) || i >= data.size() || data[i] != u')')
            return fail(parser, "bad hex(type) (expected 1 to 8 hex digits in parentheses)");
        i++;
    }
    if (i >= data.size() || data[i] != u':')
        return fail(parser, "expected ':' after hex");
    if (!read_hex_bytes(parser, data.substr(i + 1)))
        return false;
    // REGEDIT4 wrote expandable and multiple strings as ANSI bytes.
    if (parser.version == 4 && (type == 2 || type == 7))
        parser.data =
            text_to_utf16le_bytes(code_page_to_utf16(parser.lines.code_page, parser.data));
    return true;
}

bool parse_value_line(Parser &parser, Text line) {
    if (parser.state == Parser::NoKeyYet)
        return fail(parser, "value before any [key] line");
    std::size_t i = 0;
    if (line[0] == u'@') {
        parser.name.clear();
        i = 1;
    } else if (!read_quoted(line, i, parser.name)) {
        return fail(parser, "unterminated value name");
    }
    while (i < line.size() && is_blank(line[i]))
        i++;
    if (i == line.size() || line[i] != u'=')
        return fail(parser, "expected '=' after the value name");
    unsigned long type = 0;
    bool remove;
    if (!read_value_data(parser, trim_leading(line.substr(i + 1)), type, remove))
        return false;
    if (parser.state != Parser::InKey)
        return true;
    if (remove)
        delete_value(parser.tree, parser.key, parser.name);
    else
        set_value(parser.tree, parser.key, parser.name, static_cast<std::uint32_t>(type),
                  parser.data);
    return true;
}

bool parse_key_line(Parser &parser, Text line) {
    const std::size_t close = line.rfind(u']');
    if (close == Text::npos)
        return fail(parser, "key line without a closing ']'");
    if (!only_blanks(line.substr(close + 1)))
        return fail(parser, "text after the closing ']'");
    Text path = line.substr(1, close - 1);
    const bool deleting = !path.empty() && path[0] == u'-';
    if (deleting)
        path.remove_prefix(1);
    if (path.empty())
        return fail(parser, "empty key path");
    parser.parts.clear();
    for (std::size_t begin = 0;;) {
        const std::size_t end = path.find(u'\\', begin);
        const Text part = path.substr(begin, end == Text::npos ? Text::npos : end - begin);
        if (part.empty())
            return fail(parser, "empty key name in the path");
        parser.parts.push_back(part);
        if (end == Text::npos)
            break;
        begin = end + 1;
    }
    Placement place;
    UserOfPath user;
    if (!place_path(parser.parts, place, user))
        return fail(parser, "unknown root key '" + printable(parser.parts[0]) + "'");
    parser.state = Parser::Skipping;
    if (place.kind == Placement::Elsewhere || (place.kind == Placement::Above && !deleting))
        return true;
    std::vector<Text> &tree_path = parser.tree_path;
    tree_path.clear();
    if (!place.wow.empty())
        tree_path.push_back(place.wow);
    if (place.kind == Placement::Classes)
        tree_path.insert(tree_path.end(), parser.parts.begin() + place.rest, parser.parts.end());
    if (tree_path.size() > REG_EXPORT_MAX_DEPTH)
        return fail(parser, "key path deeper than " + std::to_string(REG_EXPORT_MAX_DEPTH) +
                                " levels below the classes root");
    TreeBuilder &tree = parser.tree;
    std::uint32_t root = MACHINE;
    if (user.current_user) {
        root = CURRENT_USER;
    } else if (place.side == USER && user.name.empty()) { // [-HKEY_USERS]: every user's
        tree.users_cleared++;
        return true;
    } else if (place.side == USER) {
        const std::uint32_t hash = name_hash(0, user.name);
        NameIndex::Slot &slot =
            find_slot(tree.user_names, hash, 0, user.name, [&](std::uint32_t item) {
                return std::make_pair(std::uint32_t(0), Text(tree.roots[item].user));
            });
        root = slot.item;
        if (root == NONE && deleting)
            return true; // a user not met yet: nothing of theirs to delete
        if (root == NONE) {
            tree.roots.emplace_back();
            tree.roots.back().user.assign(user.name);
            root = static_cast<std::uint32_t>(tree.roots.size() - 1);
            fill_slot(tree.user_names, slot, hash, root);
        }
    }
    if (deleting && tree_path.empty()) {
        reset_root(tree, root);
        return true;
    }
    std::uint32_t key = root_key(tree, root);
    for (std::size_t k = 0; k < tree_path.size() && key != NONE; k++)
        key = child_key(tree, key, tree_path[k], !deleting);
    if (deleting) {
        if (key != NONE)
            tree.keys[key].removed = true;
        return true;
    }
    tree.roots[root].used = true;
    parser.state = Parser::InKey;
    parser.key = key;
    return true;
}

bool parse_line(Parser &parser, Text line) {
    if (line.find(u'\0') != Text::npos)
        return fail(parser, "NUL character in the text");
    line = trim_leading(line);
    if (line.empty() || line[0] == u';')
        return true;
    if (line[0] == u'[')
        return parse_key_line(parser, line);
    if (line[0] == u'"' || line[0] == u'@')
        return parse_value_line(parser, line);
    return fail(parser, "expected a [key], a value or a ';' comment");
}

// Skips blank and comment lines up to the header and checks it.
bool read_header(Parser &parser) {
    Text line;
    while (next_line(parser, line)) {
        const Text content = trim_leading(line);
        if (content.empty() || content[0] == u';')
            continue;
        parser.version = header_version(content);
        if (parser.version == 3)
            return fail(parser, "REGEDIT files of Windows 3.1 are not supported");
        return parser.version != 0 ||
               fail(parser, "not a registry export (expected \"REGEDIT4\" or \"Windows Registry "
                            "Editor Version 5.00\")");
    }
    if (!parser.error.empty())
        return false;
    parser.lines.number = parser.lines.number == 0 ? 1 : parser.lines.number;
    return fail(parser, "no registry export header");
}

// Parses the text between `begin` and `end` of `bytes` in the given encoding.
bool parse_text(const std::string &bytes, std::size_t begin, std::size_t end, Encoding encoding,
                unsigned code_page, RegExportClasses &out, std::string &error) {
    Parser parser;
    parser.lines.bytes = &bytes;
    parser.lines.pos = begin;
    parser.lines.end = end;
    parser.lines.encoding = encoding;
    parser.lines.code_page = code_page;
    // Size the arrays once: '[' and '=' bound the key sections and values of ordinary files.
    const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(begin);
    const auto last = bytes.begin() + static_cast<std::ptrdiff_t>(end);
    const std::size_t most = (end - begin) / 16 + 2;
    parser.tree.keys.reserve(
        std::min(most, static_cast<std::size_t>(std::count(first, last, '[')) + 2));
    parser.tree.values.reserve(
        std::min(most, static_cast<std::size_t>(std::count(first, last, '='))));
    parser.tree.roots[CURRENT_USER].user = u"HKEY_CURRENT_USER";
    bool ok = read_header(parser);
    Text line;
    while (ok && next_line(parser, line))
        ok = parse_line(parser, line);
    if (!ok || !parser.error.empty()) {
        error = parser.error;
        return false;
    }
    TreeBuilder &tree = parser.tree;
    // The user side is one user's: several would overwrite one another in the order of the file.
    std::vector<std::uint32_t> users;
    for (std::uint32_t root = CURRENT_USER; root < tree.roots.size(); root++)
        if (tree.roots[root].used)
            users.push_back(root);
    if (users.size() > 1) {
        constexpr std::size_t named = 10;
        std::string names;
        for (std::size_t i = 0; i < users.size() && i < named; i++)
            names += (i ? ", " : "") + printable(tree.roots[users[i]].user, 64);
        if (users.size() > named)
            names += " and " + std::to_string(users.size() - named) + " more";
        error = "holds the classes of more than one user (" + names +
                "); export one user's classes at a time";
        return false;
    }
    out.has_machine = tree.roots[MACHINE].used;
    out.has_user = !users.empty();
    emit_key(tree, root_key(tree, MACHINE), out.machine);
    if (!users.empty())
        emit_key(tree, root_key(tree, users[0]), out.user);
    return true;
}

// read_reg_export without the guard against running out of memory.
bool read_whole_export(const std::string &bytes, unsigned code_page, RegExportClasses &out,
                       std::string &error) {
    out = RegExportClasses();
    error.clear();
    if (!code_page_supported(code_page)) {
        error = "code page " + std::to_string(code_page) + " is not supported";
        return false;
    }
    if (bytes.size() >= NONE / 2) { // keys and values are counted in 32 bits
        error = "file too large";
        return false;
    }
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t begin = 0, end = bytes.size();
    if (end >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
        error = "line 1: UTF-16 big-endian text is not supported";
        return false;
    }
    if (end >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
        begin = 2;
        end -= (end - begin) % 2; // an odd last byte is dropped
        while (end > begin && byte(end - 1) == 0 && byte(end - 2) == 0) // NUL padding
            end -= 2;
        return parse_text(bytes, begin, end, Encoding::Utf16, code_page, out, error);
    }
    const bool bom = end >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF;
    begin = bom ? 3 : 0;
    while (end > begin && byte(end - 1) == 0)
        end--;
    if (parse_text(bytes, begin, end, Encoding::Utf8, code_page, out, error))
        return true;
    // Without a BOM, text that is not valid UTF-8 as a whole is 8-bit text in the code page.
    std::u16string scratch;
    if (bom || utf8_to_utf16(bytes.substr(begin, end - begin), scratch))
        return false;
    out = RegExportClasses();
    error.clear();
    return parse_text(bytes, begin, end, Encoding::CodePage, code_page, out, error);
}

} // namespace

bool looks_like_reg_export(std::string_view head) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(head.data());
    std::size_t size = head.size();
    const bool utf16 = size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    // The NUL padding some files end with is no part of the text, as for the reader.
    while (size > 0 && bytes[size - 1] == 0)
        size--;
    if (utf16 && size % 2 == 1)
        size++;                             // the high byte of the last unit was a NUL
    const std::size_t step = utf16 ? 2 : 1; // the header is ASCII in any 8-bit form
    std::size_t i = utf16 ? 2 : 0;
    if (!utf16 && size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        i = 3;
    auto unit = [&](std::size_t at) {
        return static_cast<char16_t>(utf16 ? bytes[at] | bytes[at + 1] << 8 : bytes[at]);
    };
    for (; i + step <= size; i += step) { // one line a turn; i ends on its line end
        while (i + step <= size && is_blank(unit(i)))
            i += step;
        const std::size_t start = i;
        std::u16string line;
        while (i + step <= size && unit(i) != u'\n' && unit(i) != u'\r') {
            if (line.size() < 64) // enough for the header and blanks after it
                line += unit(i);
            i += step;
        }
        if (i > start && line[0] != u';')
            return header_version(line) != 0;
    }
    return false;
}

bool read_reg_export(const std::string &bytes, unsigned code_page, RegExportClasses &out,
                     std::string &error) {
    try {
        return read_whole_export(bytes, code_page, out, error);
    } catch (const std::bad_alloc &) {
        out = RegExportClasses();
        error = "not enough memory to read the file";
        return false;
    }
}
