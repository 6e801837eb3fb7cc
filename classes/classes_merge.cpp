// Merging the sources' classes: agreement within a side, the user's precedence across sides.
#include "classes/classes_merge.h"

#include "registry/code_page.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

constexpr int MAX_KEY_DEPTH = 512;

std::string stored(const std::u16string &name) {
    return text_to_utf16le_bytes(name);
}

std::string key_path(const MemoryKey &key) {
    std::u16string path;
    for (const MemoryKey *k = &key; k && k->parent; k = k->parent)
        path = utf16le_bytes_to_text(k->name) + (path.empty() ? u"" : u"\\" + path);
    return utf16_to_utf8(path);
}

void note_source(MemoryKey &key, unsigned short source) {
    if (key.sources.empty() || key.sources.back() != source)
        key.sources.push_back(char16_t(source));
}

// False, with `error` set, when `key` lies deeper than the registry allows.
bool depth_allowed(int depth, const MemoryKey &key, std::string &error) {
    if (depth <= MAX_KEY_DEPTH)
        return true;
    error =
        "keys nested deeper than " + std::to_string(MAX_KEY_DEPTH) + " levels at " + key_path(key);
    return false;
}

// Marks every key of a side's first source as held by it.
bool claim_keys(MemoryKey &key, unsigned short index, int depth, std::string &error) {
    if (!depth_allowed(depth, key, error))
        return false;
    key.sources.assign(1, char16_t(index));
    for (auto &child : key.children)
        if (!claim_keys(*child, index, depth + 1, error))
            return false;
    return true;
}

// What merging one source into its side works with: the side and the source, and buffers that
// every key reuses.
struct SourceMerge {
    ClassesSides &sides;
    const MemoryRegistry &side;
    unsigned short index;
    std::vector<std::size_t> held, added; // value indexes, sorted by name
    std::vector<char> take;               // per added value: not held, nor added before
};

// Orders value names as the registry compares them, equal ones by their stored size (the
// registry's own test of one name, as the look-up by name used); indexes break ties.
bool name_before(const MemoryRegistry &side, const std::string &a, std::size_t a_index,
                 const std::string &b, std::size_t b_index) {
    int order = memory_compare_names(side, a, b);
    if (order != 0)
        return order < 0;
    return a.size() != b.size() ? a.size() < b.size() : a_index < b_index;
}

bool same_value_name(const MemoryRegistry &side, const std::string &a, const std::string &b) {
    return a.size() == b.size() && memory_compare_names(side, a, b) == 0;
}

// Adds the values of `source` to `target`, as looking up each in turn by name would: a value of a
// new name is appended (in the source's order), one of a name held already (or met before in the
// source) must have the same type and data. Sorting both lists by name keeps a key of many values
// from costing the square of their number. False with `error` set at the first value, in the
// source's order, that disagrees; the values before it are added.
bool add_values(SourceMerge &merge, MemoryKey &target, MemoryKey &source, std::string &error) {
    const std::vector<MemoryValue> &have = target.values;
    std::vector<MemoryValue> &in = source.values;
    if (in.empty())
        return true;
    auto sorted = [&](std::vector<std::size_t> &order, const std::vector<MemoryValue> &values) {
        order.resize(values.size());
        for (std::size_t i = 0; i < order.size(); i++)
            order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return name_before(merge.side, values[a].name, a, values[b].name, b);
        });
    };
    sorted(merge.held, have);
    sorted(merge.added, in);
    merge.take.assign(in.size(), 0);
    std::size_t first_disagreeing = in.size();
    std::size_t h = 0;
    for (std::size_t a = 0; a < merge.added.size();) {
        // One name: the source's values of it in their order, and the first held one, if any.
        const std::string &name = in[merge.added[a]].name;
        std::size_t end = a + 1;
        while (end < merge.added.size() &&
               same_value_name(merge.side, in[merge.added[end]].name, name))
            end++;
        while (h < merge.held.size() &&
               name_before(merge.side, have[merge.held[h]].name, 0, name, 1) &&
               !same_value_name(merge.side, have[merge.held[h]].name, name))
            h++;
        const MemoryValue *reference = nullptr;
        if (h < merge.held.size() && same_value_name(merge.side, have[merge.held[h]].name, name))
            reference = &have[merge.held[h]];
        for (std::size_t i = a; i < end; i++) {
            const MemoryValue &value = in[merge.added[i]];
            if (reference == nullptr) {
                merge.take[merge.added[i]] = 1;
                reference = &value;
            } else if (reference->type != value.type || reference->data != value.data) {
                first_disagreeing = std::min(first_disagreeing, merge.added[i]);
            }
        }
        a = end;
    }
    for (std::size_t i = 0; i < first_disagreeing; i++)
        if (merge.take[i])
            target.values.push_back(std::move(in[i]));
    if (first_disagreeing == in.size())
        return true;
    const std::string &earlier = merge.sides.sources[target.sources.front()].file;
    std::u16string name = utf16le_bytes_to_text(in[first_disagreeing].name);
    std::string value_name = name.empty() ? "(default)" : '"' + utf16_to_utf8(name) + '"';
    error = "disagrees with " + earlier + " on value " + value_name + " of " +
            (target.parent ? key_path(target) : std::string("the classes root")) +
            " (two sources of one side must hold the same data)";
    return false;
}

// Adds `source` below `target`, taking over its data. Both lists of subkeys are in the registry's
// order: they are walked side by side, so that subkeys that interleave (as random GUIDs do) are
// not each inserted into the middle of the list.
bool add_key(SourceMerge &merge, MemoryKey &target, MemoryKey &source, int depth,
             std::string &error) {
    if (!depth_allowed(depth, target, error))
        return false;
    note_source(target, merge.index);
    target.written = std::max(target.written, source.written);
    if (!add_values(merge, target, source, error))
        return false;
    if (source.children.empty())
        return true;
    auto before = [&](const std::shared_ptr<MemoryKey> &a, const std::shared_ptr<MemoryKey> &b) {
        return memory_compare_names(merge.side, a->name, b->name) < 0;
    };
    std::vector<std::shared_ptr<MemoryKey>> &adding = source.children;
    if (!std::is_sorted(adding.begin(), adding.end(), before))
        std::stable_sort(adding.begin(), adding.end(), before);
    std::vector<std::shared_ptr<MemoryKey>> held;
    held.swap(target.children);
    target.children.reserve(held.size() + adding.size());
    bool added = true;
    std::size_t h = 0;
    for (std::size_t a = 0; a < adding.size() && added; a++) {
        const std::string &name = adding[a]->name;
        while (h < held.size() && memory_compare_names(merge.side, held[h]->name, name) < 0)
            target.children.push_back(std::move(held[h++]));
        MemoryKey *into = nullptr;
        if (h < held.size() && same_value_name(merge.side, held[h]->name, name)) {
            target.children.push_back(std::move(held[h++]));
            into = target.children.back().get();
        } else if (!target.children.empty() &&
                   same_value_name(merge.side, target.children.back()->name, name)) {
            into = target.children.back().get(); // a name the source lists twice
        } else {
            auto child = std::make_shared<MemoryKey>();
            child->name = name;
            child->parent = &target;
            target.children.push_back(std::move(child));
            into = target.children.back().get();
        }
        added = add_key(merge, *into, *adding[a], depth + 1, error);
    }
    while (h < held.size())
        target.children.push_back(std::move(held[h++]));
    return added;
}

// Moves a source tree into a key of the UTF-16 form, its subkeys put in the registry's order.
// Sources never hold two siblings of one name, nor two values of one key.
std::shared_ptr<MemoryKey> memory_tree_of(const MemoryRegistry &tree, SourceKey &source,
                                          MemoryKey *parent) {
    auto key = std::make_shared<MemoryKey>();
    key->name = stored(source.name);
    key->written = source.written;
    key->parent = parent;
    key->values.reserve(source.values.size());
    for (SourceValue &value : source.values)
        key->values.push_back(MemoryValue{stored(value.name), value.type, std::move(value.data)});
    key->children.reserve(source.children.size());
    for (SourceKey &child : source.children)
        key->children.push_back(memory_tree_of(tree, child, key.get()));
    std::stable_sort(key->children.begin(), key->children.end(),
                     [&](const std::shared_ptr<MemoryKey> &a, const std::shared_ptr<MemoryKey> &b) {
                         return memory_compare_names(tree, a->name, b->name) < 0;
                     });
    return key;
}

void add_sources(MemoryKey &out, const MemoryKey &from) {
    for (char16_t source : from.sources)
        if (out.sources.find(source) == std::u16string::npos)
            out.sources.push_back(source);
}

// The values of `from` in the order of their names, equal names in stored order.
std::vector<const MemoryValue *> values_by_name(const MemoryRegistry &view, const MemoryKey &from) {
    std::vector<const MemoryValue *> values;
    values.reserve(from.values.size());
    for (const MemoryValue &value : from.values)
        values.push_back(&value);
    std::stable_sort(values.begin(), values.end(), [&](const MemoryValue *a, const MemoryValue *b) {
        return memory_compare_names(view, a->name, b->name) < 0;
    });
    return values;
}

// `out` becomes the key that both sides hold: the union of their values in the order of their
// names, a name of both taken from the user; the union of their subkeys, where a subkey of one
// side is that side's own key, shared rather than copied, and one of both is merged again.
void merge_key(const MemoryRegistry &view, const MemoryKey &machine, const MemoryKey &user,
               MemoryKey &out) {
    add_sources(out, machine);
    add_sources(out, user);
    std::sort(out.sources.begin(), out.sources.end());
    // The rules read a key's default value: its time is that of the side it comes from.
    bool user_default = std::any_of(user.values.begin(), user.values.end(),
                                    [](const MemoryValue &value) { return value.name.empty(); });
    out.written = user_default ? user.written : machine.written;

    auto before = [&](const MemoryValue *a, const MemoryValue *b) {
        return memory_compare_names(view, a->name, b->name) < 0;
    };
    std::vector<const MemoryValue *> from_user = values_by_name(view, user), machine_only;
    for (const MemoryValue *value : values_by_name(view, machine))
        if (!std::binary_search(from_user.begin(), from_user.end(), value, before))
            machine_only.push_back(value); // else the user's value of that name stands
    std::vector<const MemoryValue *> merged;
    std::merge(from_user.begin(), from_user.end(), machine_only.begin(), machine_only.end(),
               std::back_inserter(merged), before);
    out.values.reserve(merged.size());
    for (const MemoryValue *value : merged)
        out.values.push_back(*value);

    // Both child lists are sorted the same way: walk them side by side.
    const auto &m = machine.children;
    const auto &u = user.children;
    out.children.reserve(std::max(m.size(), u.size()));
    std::size_t i = 0, j = 0;
    while (i < m.size() || j < u.size()) {
        int order = i == m.size()   ? 1
                    : j == u.size() ? -1
                                    : memory_compare_names(view, m[i]->name, u[j]->name);
        if (order != 0) {
            out.children.push_back(order < 0 ? m[i++] : u[j++]);
            continue;
        }
        auto both = std::make_shared<MemoryKey>();
        both->name = u[j]->name;
        both->parent = &out;
        out.children.push_back(both);
        merge_key(view, *m[i++], *u[j++], *both);
    }
}

} // namespace

bool add_classes_source(ClassesSides &sides, const std::string &file, ClassesSide side,
                        std::shared_ptr<MemoryKey> classes_root, std::string &error) {
    if (sides.sources.size() > 0xFFFF) {
        error = file + ": too many sources in one scan";
        return false;
    }
    sides.sources.push_back(ScanSource{file, side, std::string(), std::string()});
    auto index = static_cast<unsigned short>(sides.sources.size() - 1);
    MemoryRegistry &registry = side == ClassesSide::Machine ? sides.machine : sides.user;
    bool &has_side = side == ClassesSide::Machine ? sides.has_machine : sides.has_user;
    std::string why;
    bool added;
    if (!has_side) {
        registry = memory_utf16_tree();
        registry.root = std::move(classes_root);
        added = claim_keys(*registry.root, index, 0, why);
    } else {
        SourceMerge merge{sides, registry, index, {}, {}, {}};
        added = add_key(merge, *registry.root, *classes_root, 0, why);
    }
    has_side = true;
    if (!added)
        error = file + ": " + why;
    return added;
}

bool add_classes_source(ClassesSides &sides, const std::string &file, ClassesSide side,
                        SourceKey classes_root, std::string &error) {
    return add_classes_source(sides, file, side,
                              memory_tree_of(memory_utf16_tree(), classes_root, nullptr), error);
}

void build_classes_view(const ClassesSides &sides, MemoryRegistry &view) {
    if (!sides.has_machine || !sides.has_user) {
        // One side alone is its own view. Its keys' ANSI forms are made by the view's calls only
        // (the side's own code page serves name comparisons, which do not depend on it).
        if (sides.has_machine || sides.has_user)
            view.root = (sides.has_machine ? sides.machine : sides.user).root;
        return;
    }
    merge_key(view, *sides.machine.root, *sides.user.root, *view.root);
}

const char *side_name_of(const ClassesSides &sides, const MemoryKey &key) {
    bool machine = false, user = false;
    for (unsigned short source : key.sources)
        (sides.sources[source].side == ClassesSide::Machine ? machine : user) = true;
    return machine && user ? "both" : user ? "user" : "machine";
}
