// Putting carved class keys back into copies of their sides (see deleted_classes.h).
#include "classes/deleted_classes.h"

#include "registry/ascii_text.h"
#include "registry/code_page.h"

#include <algorithm>
#include <set>
#include <utility>

namespace {

const MemoryRegistry &names() {
    static const MemoryRegistry tree = memory_utf16_tree();
    return tree;
}

std::string upper_name(const std::string &stored) {
    std::u16string text = utf16le_bytes_to_text(stored);
    for (char16_t &c : text)
        c = ascii_upper(c);
    return text_to_utf16le_bytes(text);
}

bool is_named(const std::string &stored, const char *ascii) {
    return upper_name(stored) == upper_name(text_to_utf16le_bytes(std::u16string(
                                     ascii, ascii + std::char_traits<char>::length(ascii))));
}

std::shared_ptr<MemoryKey> deleted_tree(const DeletedKey &key, unsigned short source,
                                        MemoryKey *parent) {
    auto made = std::make_shared<MemoryKey>();
    made->name = key.name;
    made->written = key.written;
    made->values = key.values;
    made->sources = std::u16string(1, char16_t(source));
    made->parent = parent;
    std::set<std::string> seen;
    for (const DeletedKey &child : key.children)
        if (seen.insert(upper_name(child.name)).second) // a second of one name: the first stands
            made->children.push_back(deleted_tree(child, source, made.get()));
    std::stable_sort(made->children.begin(), made->children.end(),
                     [](const std::shared_ptr<MemoryKey> &a, const std::shared_ptr<MemoryKey> &b) {
                         return memory_compare_names(names(), a->name, b->name) < 0;
                     });
    return made;
}

// The child `name` of `parent` (an owned copy), made an owned copy itself, or made new.
MemoryKey &owned_child(MemoryKey &parent, const std::string &name, unsigned short source,
                       std::set<const MemoryKey *> &owned) {
    MemoryKey *child = memory_child(names(), parent, name);
    if (!child) {
        MemoryKey &made = memory_add_child(names(), parent, name);
        made.sources = std::u16string(1, char16_t(source));
        owned.insert(&made);
        return made;
    }
    if (owned.count(child))
        return *child;
    auto slot =
        std::lower_bound(parent.children.begin(), parent.children.end(), name,
                         [](const std::shared_ptr<MemoryKey> &key, const std::string &wanted) {
                             return memory_compare_names(names(), key->name, wanted) < 0;
                         });
    if (slot == parent.children.end())
        return *child;
    *slot = std::make_shared<MemoryKey>(**slot);
    (*slot)->parent = &parent;
    owned.insert(slot->get());
    return **slot;
}

// Puts `registration` into the side tree `root` (an owned copy).
void put_back(MemoryKey &root, const DeletedRegistration &registration,
              std::set<const MemoryKey *> &owned) {
    MemoryKey *at = &root;
    for (const std::string &name : registration.parent_path)
        at = &owned_child(*at, name, registration.source, owned);
    memory_add_child(names(), *at, registration.key.name); // its place, in the registry's order
    auto slot =
        std::lower_bound(at->children.begin(), at->children.end(), registration.key.name,
                         [](const std::shared_ptr<MemoryKey> &child, const std::string &name) {
                             return memory_compare_names(names(), child->name, name) < 0;
                         });
    if (slot == at->children.end())
        return;
    // A live twin is set aside in this copy: the registration stands alone.
    *slot = deleted_tree(registration.key, registration.source, at);
    owned.insert(slot->get());
}

void collect_unrecoverable(const DeletedKey &key, std::vector<std::string> &out) {
    out.insert(out.end(), key.unrecoverable.begin(), key.unrecoverable.end());
    for (const DeletedKey &child : key.children)
        collect_unrecoverable(child, out);
}

RecoveredClass recovered_class(const DeletedRegistration &registration) {
    RecoveredClass cls;
    const std::vector<std::string> &path = registration.parent_path;
    cls.wow = !path.empty() && is_named(path[0], "Wow6432Node");
    std::size_t class_level = cls.wow ? 2 : 1;
    cls.class_deleted = path.size() == class_level;
    cls.key = cls.class_deleted ? registration.key.name : path[class_level];
    if (!cls.class_deleted)
        cls.deleted_subkey =
            path.size() > class_level + 1 ? path[class_level + 1] : registration.key.name;
    cls.side = registration.side;
    cls.image = registration.image;
    cls.written = registration.key.written;
    collect_unrecoverable(registration.key, cls.unrecoverable);
    return cls;
}

} // namespace

const char *carved_image_name(CarvedImage image) {
    return image == CarvedImage::Primary     ? "primary"
           : image == CarvedImage::Recovered ? "recovered"
                                             : "primary and recovered";
}

std::vector<RecoveredSides> recover_deleted_classes(const ClassesSides &live,
                                                    std::vector<std::string> &notes) {
    std::vector<RecoveredSides> copies;
    std::vector<std::set<std::string>> placed; // per copy: side, view and class, upper-cased
    std::vector<std::set<const MemoryKey *>> owned;
    std::size_t left_over = 0;
    for (const DeletedRegistration &registration : live.deleted) {
        RecoveredClass cls = recovered_class(registration);
        std::string identity = std::string(cls.side == ClassesSide::User ? "u" : "m") +
                               (cls.wow ? "w" : "n") + upper_name(cls.key);
        std::size_t copy = 0;
        while (copy < copies.size() && placed[copy].count(identity))
            ++copy;
        if (copy == MAX_RECOVERED_COPIES) {
            ++left_over;
            continue;
        }
        if (copy == copies.size()) {
            copies.push_back({live, {}});
            copies.back().sides.deleted.clear();
            placed.emplace_back();
            owned.emplace_back();
        }
        ClassesSides &sides = copies[copy].sides;
        MemoryRegistry &tree = registration.side == ClassesSide::User ? sides.user : sides.machine;
        bool &has = registration.side == ClassesSide::User ? sides.has_user : sides.has_machine;
        if (!owned[copy].count(tree.root.get())) {
            tree.root =
                has ? std::make_shared<MemoryKey>(*tree.root) : std::make_shared<MemoryKey>();
            if (!has)
                tree.root->sources = std::u16string(1, char16_t(registration.source));
            owned[copy].insert(tree.root.get());
            has = true;
        }
        put_back(*tree.root, registration, owned[copy]);
        placed[copy].insert(identity);
        copies[copy].classes.push_back(std::move(cls));
    }
    if (left_over > 0)
        notes.push_back(std::to_string(left_over) +
                        " more deleted registrations of classes already recovered " +
                        std::to_string(MAX_RECOVERED_COPIES) + " times are not judged");
    return copies;
}
