// Reading the running system's classes through the wide registry calls, for clsid-scan --live.
#include "evidence/live_source.h"

#include "registry/code_page.h"

#include <algorithm>
#include <utility>

const char LIVE_MACHINE_SOURCE[] = "HKLM\\Software\\Classes";
const char LIVE_USER_SOURCE[] = "HKCU\\Software\\Classes";

namespace {

// Buffers start at a key name's limit (255 characters and the NUL) and 4 KiB of data, and grow
// when a call answers ERROR_MORE_DATA: data to the size the call asks for, names by doubling up
// to more than any name the registry stores. A value that keeps growing between two calls ends
// the read after a few tries.
constexpr std::size_t FIRST_NAME_CHARS = 256;
constexpr std::size_t LAST_NAME_CHARS = 32768;
constexpr std::size_t FIRST_DATA_BYTES = 4096;
constexpr int GROW_TRIES = 16;

// Levels below the classes root, as the registry and the merge allow them; a deeper chain can
// only come from a loop of symbolic links.
constexpr int MAX_KEY_DEPTH = 512;

const char16_t CLASSES_PATH[] = u"Software\\Classes";

// How reading a key ended: read whole, gone (missing, or deleted while it was read), or failed
// with the reader's error set.
enum class Read { Done, Gone, Failed };

struct LiveReader {
    const char *root_name;
    std::u16string path; // of the key being read, below the root
    std::vector<std::string> &notes;
    std::string &error;
    std::vector<char16_t> name;
    std::vector<unsigned char> data;
};

std::string shown_path(const LiveReader &reader) {
    return std::string(reader.root_name) + "\\" + utf16_to_utf8(reader.path);
}

std::string status_text(RegStatus status) {
    const char *meaning = status == REG_ERROR_FILE_NOT_FOUND  ? "not found"
                          : status == REG_ERROR_ACCESS_DENIED ? "access denied"
                          : status == REG_ERROR_OUTOFMEMORY   ? "out of memory"
                          : status == REG_ERROR_MORE_DATA     ? "more data than the read allows"
                          : status == REG_ERROR_NO_MORE_ITEMS ? "no more items"
                                                              : nullptr;
    return "error " + std::to_string(status) +
           (meaning ? std::string(" (") + meaning + ")" : std::string());
}

// A failing call on the current key: a deleted key is left out with a note, anything else is
// the reader's error.
Read fail(LiveReader &reader, const std::string &doing, RegStatus status) {
    if (status == REG_ERROR_KEY_DELETED) {
        reader.notes.push_back(shown_path(reader) + ": deleted while it was read; left out");
        return Read::Gone;
    }
    reader.error = shown_path(reader) + ": " + doing + ": " + status_text(status);
    return Read::Failed;
}

// After ERROR_MORE_DATA: grows the data buffer when the call asked for more data than it holds,
// else the name buffer. False when neither can grow.
bool grow_buffers(LiveReader &reader, unsigned long data_needed) {
    if (data_needed > reader.data.size()) {
        reader.data.resize(data_needed);
        return true;
    }
    if (reader.name.size() < LAST_NAME_CHARS) {
        reader.name.resize(std::min(reader.name.size() * 2, LAST_NAME_CHARS));
        return true;
    }
    return false;
}

// Makes an enumeration call, growing the buffers while it answers ERROR_MORE_DATA; `data_needed`
// is where the call reports the data size it needs (0 for calls without data).
template <class Call>
RegStatus call_with_room(LiveReader &reader, const unsigned long &data_needed, Call call) {
    RegStatus status = REG_ERROR_MORE_DATA;
    for (int tries = 0; status == REG_ERROR_MORE_DATA && tries < GROW_TRIES; tries++) {
        if (tries > 0 && !grow_buffers(reader, data_needed))
            break;
        status = call();
    }
    return status;
}

Read read_values(LiveReader &reader, WideRegKey key, SourceKey &out) {
    for (unsigned long index = 0;; index++) {
        unsigned long name_chars = 0, type = 0, data_bytes = 0;
        RegStatus status = call_with_room(reader, data_bytes, [&] {
            name_chars = static_cast<unsigned long>(reader.name.size());
            data_bytes = static_cast<unsigned long>(reader.data.size());
            return reg_enum_value_w(key, index, reader.name.data(), &name_chars, &type,
                                    reader.data.data(), &data_bytes);
        });
        if (status == REG_ERROR_NO_MORE_ITEMS)
            return Read::Done;
        if (status != REG_SUCCESS)
            return fail(reader, "reading value number " + std::to_string(index), status);
        SourceValue value;
        value.name.assign(reader.name.data(),
                          std::min<std::size_t>(name_chars, reader.name.size()));
        value.type = type;
        value.data.assign(reinterpret_cast<const char *>(reader.data.data()),
                          std::min<std::size_t>(data_bytes, reader.data.size()));
        out.values.push_back(std::move(value));
    }
}

Read open_and_read(LiveReader &reader, WideRegKey parent, const std::u16string &name,
                   SourceKey &out, int depth, bool optional);

// Reads the values and the whole subtree of the open `key` (whose path reader.path is).
Read read_key(LiveReader &reader, WideRegKey key, SourceKey &out, int depth) {
    if (depth > MAX_KEY_DEPTH) {
        reader.error = shown_path(reader) + ": keys nested deeper than " +
                       std::to_string(MAX_KEY_DEPTH) + " levels";
        return Read::Failed;
    }
    RegStatus time = reg_query_key_time_w(key, &out.written);
    if (time != REG_SUCCESS)
        return fail(reader, "reading its last write time", time);
    Read values = read_values(reader, key, out);
    if (values != Read::Done)
        return values;
    // A subkey that went away while it was read takes its place in the listing with it: the
    // next one moves down to its index, which is therefore listed again. The same name there
    // again means the key is still listed (its name cannot be opened): it is passed over.
    std::u16string gone_name;
    bool after_gone = false;
    for (unsigned long index = 0;;) {
        unsigned long name_chars = 0;
        const unsigned long no_data = 0;
        RegStatus status = call_with_room(reader, no_data, [&] {
            name_chars = static_cast<unsigned long>(reader.name.size());
            return reg_enum_key_w(key, index, reader.name.data(), &name_chars);
        });
        if (status == REG_ERROR_NO_MORE_ITEMS)
            return Read::Done;
        if (status != REG_SUCCESS)
            return fail(reader, "listing subkey number " + std::to_string(index), status);
        SourceKey child;
        child.name.assign(reader.name.data(),
                          std::min<std::size_t>(name_chars, reader.name.size()));
        if (after_gone && child.name == gone_name) {
            after_gone = false;
            index++;
            continue;
        }
        after_gone = false;
        Read read = open_and_read(reader, key, child.name, child, depth + 1, false);
        if (read == Read::Failed)
            return Read::Failed;
        if (read == Read::Done) {
            out.children.push_back(std::move(child));
            index++;
        } else {
            gone_name = child.name;
            after_gone = true;
        }
    }
}

// Opens `name` below `parent`, reads it into `out` and closes it. A missing key is gone: quietly
// when it is `optional`, with a note when its parent has just listed it.
Read open_and_read(LiveReader &reader, WideRegKey parent, const std::u16string &name,
                   SourceKey &out, int depth, bool optional) {
    std::size_t parent_length = reader.path.size();
    reader.path += u'\\';
    reader.path += name;
    WideRegKey key = nullptr;
    RegStatus status = reg_open_key_w(parent, name.c_str(), LIVE_KEY_ACCESS, &key);
    Read read;
    if (status == REG_ERROR_FILE_NOT_FOUND) {
        if (!optional)
            reader.notes.push_back(shown_path(reader) +
                                   ": listed, then gone when opened (deleted during the scan); "
                                   "left out");
        read = Read::Gone;
    } else if (status != REG_SUCCESS) {
        read = fail(reader, "cannot open it", status);
    } else {
        read = read_key(reader, key, out, depth);
        reg_close_key_w(key); // a failing close leaves nothing unread
    }
    reader.path.resize(parent_length);
    return read;
}

} // namespace

bool read_live_side(WideRegKey root, const char *root_name, SourceKey &classes, bool &present,
                    std::vector<std::string> &notes, std::string &error) {
    classes = SourceKey{};
    present = false;
    LiveReader reader{root_name,
                      CLASSES_PATH,
                      notes,
                      error,
                      std::vector<char16_t>(FIRST_NAME_CHARS),
                      std::vector<unsigned char>(FIRST_DATA_BYTES)};
    WideRegKey classes_key = nullptr;
    RegStatus status = reg_open_key_w(root, CLASSES_PATH, LIVE_KEY_ACCESS, &classes_key);
    if (status == REG_ERROR_FILE_NOT_FOUND)
        return true;
    if (status != REG_SUCCESS)
        return fail(reader, "cannot open it", status) != Read::Failed;
    present = true;

    SourceKey clsid;
    clsid.name = u"CLSID";
    Read read = open_and_read(reader, classes_key, u"CLSID", clsid, 1, true);
    if (read == Read::Done)
        classes.children.push_back(std::move(clsid));
    if (read != Read::Failed) {
        // The 32-bit view's classes: only Wow6432Node's CLSID, as the hive reader takes it.
        SourceKey wow_clsid;
        wow_clsid.name = u"CLSID";
        read = open_and_read(reader, classes_key, u"Wow6432Node\\CLSID", wow_clsid, 2, true);
        if (read == Read::Done) {
            SourceKey wow;
            wow.name = u"Wow6432Node";
            wow.children.push_back(std::move(wow_clsid));
            classes.children.push_back(std::move(wow));
        }
    }
    reg_close_key_w(classes_key);
    return read != Read::Failed;
}

bool add_live_sources(ClassesSides &sides, std::vector<std::string> &notes, std::string &error) {
    struct Side {
        WideRegKey root;
        const char *root_name;
        const char *source;
        ClassesSide side;
    };
    const Side both[] = {
        {reg_local_machine_w(), "HKLM", LIVE_MACHINE_SOURCE, ClassesSide::Machine},
        {reg_current_user_w(), "HKCU", LIVE_USER_SOURCE, ClassesSide::User},
    };
    for (const Side &side : both) {
        SourceKey classes;
        bool present = false;
        if (!read_live_side(side.root, side.root_name, classes, present, notes, error))
            return false;
        if (!present) {
            notes.push_back(std::string(side.source) + ": not found; no classes on that side");
            continue;
        }
        if (!add_classes_source(sides, side.source, side.side, std::move(classes), error))
            return false;
    }
    return true;
}
