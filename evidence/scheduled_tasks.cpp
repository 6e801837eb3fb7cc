// Scheduled tasks whose action is a COM handler, read with libxml2 from the task files.
#include "evidence/scheduled_tasks.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

namespace {

struct FolderCloser {
    void operator()(DIR *folder) const { closedir(folder); }
};

struct DocumentFree {
    void operator()(xmlDoc *document) const { xmlFreeDoc(document); }
};

bool named(const xmlNode *node, const char *name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

std::string text_of(const xmlNode *node) {
    std::string text;
    for (const xmlNode *child = node->children; child; child = child->next)
        if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) &&
            child->content)
            text += reinterpret_cast<const char *>(child->content);
    std::size_t first = text.find_first_not_of(" \t\r\n");
    std::size_t last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// What was passed over, by kind: the first path and how many.
struct PassedOver {
    std::map<std::string, std::pair<std::string, std::size_t>> kinds;
    void add(const std::string &why, const std::string &path) {
        auto &entry = kinds[why];
        if (entry.second++ == 0)
            entry.first = path;
    }
};

struct TaskWalk {
    std::string root;
    std::vector<ClassLoader> *out;
    PassedOver passed;
    std::size_t files = 0;

    void read_file(int folder, const char *name, const std::string &path) {
        int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            passed.add("cannot be read", path);
            return;
        }
        struct stat info;
        std::string bytes;
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
            passed.add("not a regular file", path);
        else if (static_cast<unsigned long long>(info.st_size) > MOST_TASK_FILE_BYTES)
            passed.add("larger than 1 MiB", path);
        else {
            bytes.resize(static_cast<std::size_t>(info.st_size));
            std::size_t got = 0;
            while (got < bytes.size()) {
                ssize_t n = read(fd, &bytes[got], bytes.size() - got);
                if (n <= 0)
                    break;
                got += static_cast<std::size_t>(n);
            }
            bytes.resize(got);
        }
        close(fd);
        if (bytes.empty())
            return;
        std::vector<std::string> classes;
        if (!task_com_handlers(bytes, classes)) {
            passed.add("not a task's XML", path);
            return;
        }
        for (const std::string &clsid : classes)
            out->push_back(ClassLoader{clsid, LoaderKind::ScheduledTask, false, true, path,
                                       "Actions/ComHandler/ClassId"});
    }

    void folder(int fd, const std::string &path, unsigned depth) {
        std::unique_ptr<DIR, FolderCloser> dir(fdopendir(fd));
        if (!dir) {
            close(fd);
            passed.add("cannot be read", path);
            return;
        }
        std::vector<std::string> names;
        while (dirent *entry = readdir(dir.get()))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        for (const std::string &name : names) {
            std::string inner = path + "/" + name;
            struct stat info;
            if (fstatat(dirfd(dir.get()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                passed.add("cannot be read", inner);
            } else if (S_ISLNK(info.st_mode)) {
                passed.add("a link, not followed", inner);
            } else if (S_ISDIR(info.st_mode)) {
                if (depth >= MOST_TASK_FOLDER_DEPTH) {
                    passed.add("folders nested too deep", inner);
                    continue;
                }
                int sub = openat(dirfd(dir.get()), name.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub < 0)
                    passed.add("cannot be read", inner);
                else
                    folder(sub, inner, depth + 1);
            } else if (++files > MOST_TASK_FILES) {
                passed.add("more task files than 100000", inner);
            } else {
                read_file(dirfd(dir.get()), name.c_str(), inner);
            }
        }
    }
};

// Whether the text declares a document type or an entity, in UTF-8 or either UTF-16: such a
// file is refused before libxml2 sees it, so no declaration is ever acted on.
bool declares_anything(const std::string &xml) {
    for (const char *word : {"<!DOCTYPE", "<!ENTITY"}) {
        std::string utf8 = word, little, big;
        for (char c : utf8) {
            little += std::string{c, '\0'};
            big += std::string{'\0', c};
        }
        for (const std::string *form : {&utf8, &little, &big})
            if (xml.find(*form) != std::string::npos)
                return true;
    }
    return false;
}

} // namespace

bool task_com_handlers(const std::string &xml, std::vector<std::string> &classes) {
    if (xml.size() > MOST_TASK_FILE_BYTES || declares_anything(xml))
        return false;
    // No network, no external or internal entity substituted, no DTD loaded, no messages on
    // standard error; libxml2's own limits on depth and sizes stay on (no XML_PARSE_HUGE).
    int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA;
    std::unique_ptr<xmlDoc, DocumentFree> document(
        xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "task.xml", nullptr, options));
    if (!document || document->intSubset || document->extSubset)
        return false;
    const xmlNode *task = xmlDocGetRootElement(document.get());
    if (!task || !named(task, "Task"))
        return false;
    for (const xmlNode *actions = task->children; actions; actions = actions->next) {
        if (!named(actions, "Actions"))
            continue;
        for (const xmlNode *action = actions->children; action; action = action->next) {
            if (!named(action, "ComHandler"))
                continue;
            for (const xmlNode *field = action->children; field; field = field->next)
                if (named(field, "ClassId")) {
                    std::string clsid = text_of(field);
                    if (is_clsid_text(clsid))
                        classes.push_back(clsid);
                }
        }
    }
    return true;
}

void read_task_loaders(const std::string &root, const std::string &tasks,
                       std::vector<ClassLoader> &out, std::vector<std::string> &notes) {
    TaskWalk walk{root, &out, {}, 0};
    int fd = open((root + "/" + tasks).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) // a link or a file where the folder should be, or no access
            notes.push_back(root + "/" + tasks + ": " + std::strerror(errno) +
                            "; its scheduled tasks are not read");
        return;
    }
    walk.folder(fd, tasks, 0);
    for (const auto &[why, first] : walk.passed.kinds)
        notes.push_back(root + "/" + first.first + ": " + why + "; not read as a scheduled task" +
                        (first.second > 1
                             ? " (and " + std::to_string(first.second - 1) + " more like it)"
                             : std::string()));
}
