// Server files examined on the running Windows machine (clsid-scan.exe --live): the ROOT is one of
// its drives, each place is opened where it is through the platform's file calls, links are
// never followed, and each regular file is read and hashed once.
#include "files/server_file.h"
#include "registry/ascii_text.h"
#include "registry/time_text.h"
#include "scanframe/platform.h"

#include <algorithm>
#include <map>
#include <utility>

// WOW64. files/ resolves each place for the view of the process that would load the server: for
// the 32-bit view, server_search_paths has already turned System32 into SysWOW64 (and Sysnative
// into System32), so a place is where the file really is. The i686 clsid-scan.exe is itself a
// 32-bit process, and WOW64 would redirect its opens a second time (the 64-bit view's System32
// to SysWOW64), so file_open_w turns the redirection off around its one CreateFileW; the x86_64
// build is never redirected. Both builds open the same file for the same place. Naming System32
// as "Sysnative" instead would not do: that name exists only for 32-bit processes, and WOW64's
// other redirections (regedit.exe, lastgood\System32) would still apply.
//
// Links. There is no ROOT to stay inside on a live machine, but a link may lead to a network
// share (links from a local path to a remote one are followed by default), where opening it
// connects to that server with the scanning user's credentials, or waits on it. So every folder
// on the way and the last name are opened as reparse points themselves: a link or junction is
// reported and not followed. A folder that becomes a link between its check and the file's open
// is not caught; that takes a process racing the scan. A reparse point that is not a link (a
// compressed or deduplicated file) is read through its filter once it is known not to be a link;
// a file whose data is held elsewhere (offline, in the cloud) is not read, as reading fetches it.
//
// Paths are opened in the "\\?\" form, so that the name opened is the one files/ resolved: no
// device names (NUL, COM1), no trimming of dots and spaces, no length limit.
namespace server_files_live {

using FileKey = std::pair<unsigned long, unsigned long long>; // volume serial, file index

// What reading one file found; kept per file for the ROOT.
struct FileFacts {
    FileState state = FileState::Unreadable;
    std::string problem;
    std::uint64_t size = 0;
    std::string sha256;
    std::string modified;
    std::optional<PeImage> pe;
};

// What a folder on the way to a place was found to be: a folder (Present), or what to report.
struct FolderCheck {
    FileState state = FileState::Present;
    std::string problem;
};

class OpenedFile {
  public:
    OpenedFile() = default;
    OpenedFile(const OpenedFile &) = delete;
    OpenedFile &operator=(const OpenedFile &) = delete;
    ~OpenedFile() {
        if (handle_ != nullptr)
            file_close(handle_);
    }
    FileHandle *out() { return &handle_; }
    FileHandle get() const { return handle_; }

  private:
    FileHandle handle_ = nullptr;
};

class OpenedHash {
  public:
    OpenedHash() = default;
    OpenedHash(const OpenedHash &) = delete;
    OpenedHash &operator=(const OpenedHash &) = delete;
    ~OpenedHash() { sha256_close(hash_); }
    Sha256Hash *out() { return &hash_; }
    Sha256Hash get() const { return hash_; }

  private:
    Sha256Hash hash_ = nullptr;
};

} // namespace server_files_live

using namespace server_files_live;

struct VolumeFilesState {
    std::string root;      // "C:"
    std::u16string prefix; // "\\?\C:"
    std::string error;
    std::string system_folder;
    std::map<std::u16string, FolderCheck> folders; // by folded path
    std::map<FileKey, FileFacts> files;
    std::size_t files_hashed = 0;
    std::uint64_t hash_limit = kDefaultHashLimit;
    std::vector<unsigned char> buffer;
};

namespace {

constexpr std::size_t kHeadBytes = 4096; // kept from the start of a file for its PE headers
constexpr std::size_t kPeHeaderBytes = 24;
constexpr unsigned long kReadBlock = 1ul << 20;
constexpr unsigned kFirstFolderChars = 260;
constexpr int kGrowTries = 4;

std::string error_text(FileError error) {
    const char *meaning = error == FILE_ERROR_FILE_NOT_FOUND      ? "file not found"
                          : error == FILE_ERROR_PATH_NOT_FOUND    ? "path not found"
                          : error == FILE_ERROR_ACCESS_DENIED     ? "access denied"
                          : error == FILE_ERROR_SHARING_VIOLATION ? "in use, not shared"
                                                                  : nullptr;
    return "error " + std::to_string(error) +
           (meaning ? std::string(" (") + meaning + ")" : std::string());
}

void append_utf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD, as everywhere in clsid-scan.
std::string utf8_of(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); i++) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        append_utf8(out, c);
    }
    return out;
}

// Strict UTF-8 to UTF-16: false for overlong forms, surrogates, values past U+10FFFF and cut
// sequences, so that no two texts open the same name.
bool utf16_of(std::string_view text, std::u16string &out) {
    out.clear();
    for (std::size_t i = 0; i < text.size();) {
        auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
        unsigned char lead = byte(i);
        std::size_t length = lead < 0x80                   ? 1
                             : lead >= 0xC2 && lead < 0xE0 ? 2
                             : lead >= 0xE0 && lead < 0xF0 ? 3
                             : lead >= 0xF0 && lead < 0xF5 ? 4
                                                           : 0;
        if (length == 0 || i + length > text.size())
            return false;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; k++) {
            if ((byte(i + k) & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (byte(i + k) & 0x3F);
        }
        if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
            (c >= 0xD800 && c <= 0xDFFF))
            return false;
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += length;
    }
    return true;
}

std::u16string folded(std::u16string text) {
    for (char16_t &c : text)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return text;
}

// The Windows folder of this machine ("C:\Windows"); empty with `error` set when the call fails.
std::u16string windows_folder(std::string &error) {
    std::u16string folder(kFirstFolderChars, u'\0');
    for (int tries = 0; tries < kGrowTries; tries++) {
        unsigned length = windows_folder_w(&folder[0], static_cast<unsigned>(folder.size()));
        if (length == 0)
            break;
        if (length < folder.size()) {
            folder.resize(length);
            return folder;
        }
        folder.resize(length);
    }
    error = "the Windows folder of this machine cannot be found";
    return std::u16string();
}

bool drive_letter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

char upper_drive(char16_t c) {
    return static_cast<char>(c >= u'a' ? c - u'a' + u'A' : c);
}

bool is_link(const FileInformation &information) {
    return (information.attributes & FILE_ATTR_REPARSE_POINT) != 0 &&
           (information.reparse_tag & REPARSE_TAG_NAME_SURROGATE) != 0;
}

bool data_elsewhere(const FileInformation &information) {
    return (information.attributes &
            (FILE_ATTR_OFFLINE | FILE_ATTR_RECALL_ON_OPEN | FILE_ATTR_RECALL_ON_DATA_ACCESS)) != 0;
}

std::string tag_text(unsigned long tag) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        text += digits[(tag >> shift) & 15];
    return text;
}

// Opens `path` to look at it (its attributes alone, a reparse point itself) and queries it.
// Returns the failing call's status, with `doing` naming that call.
FileError look_at(const std::u16string &path, FileInformation &information, const char *&doing) {
    OpenedFile file;
    doing = "cannot be opened";
    FileError error =
        file_open_w(path.c_str(), FileAccess::Attributes, FileReparse::OpenItself, file.out());
    if (error != FILE_SUCCESS)
        return error;
    doing = "cannot be queried";
    return file_query(file.get(), &information);
}

// A folder on the way to a place: there and no link, or what to report for the place.
FolderCheck check_folder(const std::u16string &path, const std::string &shown) {
    FileInformation information;
    const char *doing = "";
    FileError error = look_at(path, information, doing);
    if (error == FILE_ERROR_FILE_NOT_FOUND || error == FILE_ERROR_PATH_NOT_FOUND)
        return {FileState::Missing, ""};
    if (error != FILE_SUCCESS)
        return {FileState::Unreadable, shown + ": " + doing + " (" + error_text(error) + ")"};
    if (is_link(information))
        return {FileState::NotExamined, shown + ": a link or junction on the way (reparse tag " +
                                            tag_text(information.reparse_tag) +
                                            "), not followed on the live machine"};
    if (information.kind != FILE_KIND_DISK || (information.attributes & FILE_ATTR_FOLDER) == 0)
        return {FileState::Missing, ""}; // a file where a folder should be
    return {};
}

FileFacts unreadable(std::string problem) {
    FileFacts facts;
    facts.problem = std::move(problem);
    return facts;
}

// Reads the regular file looked at as `seen`, once, never more than the size its reading handle
// gives; hashes it and finds its PE headers on the way.
FileFacts read_file(VolumeFilesState &state, const std::u16string &path,
                    const FileInformation &seen) {
    OpenedFile file;
    FileReparse reparse = (seen.attributes & FILE_ATTR_REPARSE_POINT) != 0
                              ? FileReparse::Process // a filter's file: its data, not its stub
                              : FileReparse::OpenItself;
    FileError error = file_open_w(path.c_str(), FileAccess::Data, reparse, file.out());
    if (error != FILE_SUCCESS)
        return unreadable("cannot be opened for reading (" + error_text(error) + ")");
    FileInformation information;
    error = file_query(file.get(), &information);
    if (error != FILE_SUCCESS)
        return unreadable("cannot be queried (" + error_text(error) + ")");
    if (information.kind != FILE_KIND_DISK || (information.attributes & FILE_ATTR_FOLDER) != 0 ||
        information.volume_serial != seen.volume_serial ||
        information.file_index != seen.file_index)
        return unreadable("the file changed while it was examined");
    OpenedHash hash;
    error = sha256_begin(hash.out());
    if (error != FILE_SUCCESS)
        return unreadable("SHA-256 is not available from CryptoAPI (" + error_text(error) + ")");

    std::uint64_t size = information.size;
    state.buffer.resize(kReadBlock);
    std::string head;
    std::optional<std::uint64_t> pe_at; // the PE headers' offset, once the head is read
    bool head_done = false;
    std::string pe_header(kPeHeaderBytes, '\0'); // their signature and file header
    // A file past the hash limit is read only for its headers, when they lie in its head.
    bool too_large = size > state.hash_limit;
    std::uint64_t read_to = too_large ? std::min<std::uint64_t>(size, kHeadBytes) : size;
    for (std::uint64_t done = 0; done < read_to;) {
        auto wanted =
            static_cast<unsigned long>(std::min<std::uint64_t>(kReadBlock, read_to - done));
        unsigned long got = 0;
        error = file_read(file.get(), state.buffer.data(), wanted, &got);
        if (error != FILE_SUCCESS)
            return unreadable("cannot be read (" + error_text(error) + ")");
        if (got == 0)
            return unreadable("the file was cut short while it was read");
        got = std::min(got, wanted);
        const char *block = reinterpret_cast<const char *>(state.buffer.data());
        if (head.size() < kHeadBytes)
            head.append(block, std::min<std::size_t>(got, kHeadBytes - head.size()));
        if (!head_done && (head.size() == kHeadBytes || done + got == read_to)) {
            pe_at = pe_header_offset(head, size);
            head_done = true;
        }
        if (pe_at) {
            // The headers' bytes in this block; those of earlier blocks, read before the offset
            // was known, are all in the head.
            std::uint64_t from = std::max<std::uint64_t>(*pe_at, done);
            std::uint64_t to = std::min<std::uint64_t>(*pe_at + kPeHeaderBytes, done + got);
            for (std::uint64_t at = from; at < to; at++)
                pe_header[at - *pe_at] = block[at - done];
        }
        error = sha256_add(hash.get(), state.buffer.data(), got);
        if (error != FILE_SUCCESS)
            return unreadable("SHA-256 failed (" + error_text(error) + ")");
        done += got;
    }
    if (!head_done)
        pe_at = pe_header_offset(head, size);
    if (too_large) {
        FileFacts facts;
        facts.state = FileState::NotExamined;
        facts.problem = "larger than the hash limit of " + std::to_string(state.hash_limit) +
                        " bytes (--hash-limit): not hashed";
        facts.size = size;
        facts.modified = format_filetime(information.written);
        if (pe_at && *pe_at + kPeHeaderBytes <= head.size())
            facts.pe = parse_pe_header(std::string_view(head).substr(*pe_at));
        return facts;
    }
    unsigned char digest[SHA256_BYTES];
    error = sha256_end(hash.get(), digest);
    if (error != FILE_SUCCESS)
        return unreadable("SHA-256 failed (" + error_text(error) + ")");
    state.files_hashed++;

    FileFacts facts;
    facts.state = FileState::Present;
    facts.size = size;
    facts.sha256 = hex_text(digest, sizeof digest);
    facts.modified = format_filetime(information.written);
    if (pe_at) {
        for (std::uint64_t at = *pe_at; at < *pe_at + kPeHeaderBytes && at < head.size(); at++)
            pe_header[at - *pe_at] = head[at];
        facts.pe = parse_pe_header(pe_header);
    }
    return facts;
}

std::string joined(const std::vector<std::string> &parts, char separator) {
    std::string text;
    for (const std::string &part : parts)
        text += (text.empty() ? "" : std::string(1, separator)) + part;
    return text;
}

} // namespace

VolumeFiles::VolumeFiles(const std::string &root) : state_(std::make_unique<VolumeFilesState>()) {
    VolumeFilesState &state = *state_;
    std::string folder_error;
    std::u16string windows = windows_folder(folder_error);
    bool windows_on_drive = windows.size() >= 3 && drive_letter(windows[0]) && windows[1] == u':' &&
                            windows[2] == u'\\';
    char drive = 0;
    if (root.empty()) {
        if (!windows_on_drive) {
            state.error =
                folder_error.empty()
                    ? "the Windows folder of this machine is not on a drive: " + utf8_of(windows)
                    : folder_error;
            return;
        }
        drive = upper_drive(windows[0]);
    } else if ((root.size() == 2 || (root.size() == 3 && root[2] == '\\')) &&
               drive_letter(static_cast<unsigned char>(root[0])) && root[1] == ':') {
        drive = upper_drive(static_cast<unsigned char>(root[0]));
    } else {
        state.error = root + ": not a drive of this machine (such as \"C:\")";
        return;
    }
    state.root = std::string(1, drive) + ":";
    state.prefix = u"\\\\?\\" + std::u16string(1, static_cast<char16_t>(drive)) + u":";
    if (windows_on_drive && upper_drive(windows[0]) == drive) {
        std::string inside = utf8_of(windows.substr(3));
        std::replace(inside.begin(), inside.end(), '\\', '/');
        state.system_folder = inside;
    }
}

VolumeFiles::~VolumeFiles() = default;

bool VolumeFiles::ok() const {
    return state_->error.empty();
}
const std::string &VolumeFiles::error() const {
    return state_->error;
}
const std::string &VolumeFiles::system_folder() const {
    return state_->system_folder;
}
std::size_t VolumeFiles::files_hashed() const {
    return state_->files_hashed;
}
void VolumeFiles::set_hash_limit(std::uint64_t bytes) {
    state_->hash_limit = bytes;
}
bool VolumeFiles::holds_program_files() {
    return true; // the running machine's own drive
}

ServerFile examine_place(VolumeFiles &volume, const std::vector<std::string> &place,
                         bool read_contents) {
    VolumeFilesState &state = volume.state();
    ServerFile file;
    if (!state.error.empty()) {
        file.state = FileState::NotExamined;
        file.problem = state.error;
        return file;
    }
    file.path = joined(place, '/');
    std::vector<std::u16string> names(place.size());
    for (std::size_t i = 0; i < place.size(); i++) {
        file.state = FileState::NotExamined;
        if (place[i].find(':') != std::string::npos) {
            file.problem = "names an alternate data stream (file:stream), which is not examined";
            return file;
        }
        if (!utf16_of(place[i], names[i])) {
            file.problem = "a name that is not UTF-8 text cannot be opened";
            return file;
        }
    }
    std::u16string path = state.prefix;
    std::string shown = state.root;
    for (std::size_t i = 0; i < place.size(); i++) {
        path += u'\\' + names[i];
        shown += "\\" + place[i];
        if (i + 1 == place.size())
            break;
        auto known = state.folders.find(folded(path));
        if (known == state.folders.end())
            known = state.folders.emplace(folded(path), check_folder(path, shown)).first;
        if (known->second.state != FileState::Present) {
            file.state = known->second.state;
            file.problem = known->second.problem;
            return file;
        }
    }
    if (place.empty()) {
        file.state = FileState::NotAFile; // the drive itself
        return file;
    }

    FileInformation information;
    const char *doing = "";
    FileError error = look_at(path, information, doing);
    if (error == FILE_ERROR_FILE_NOT_FOUND || error == FILE_ERROR_PATH_NOT_FOUND) {
        file.state = FileState::Missing;
        return file;
    }
    if (error != FILE_SUCCESS) {
        file.state = FileState::Unreadable;
        file.problem = std::string(doing) + " (" + error_text(error) + ")";
        return file;
    }
    if (information.kind != FILE_KIND_DISK || (information.attributes & FILE_ATTR_FOLDER) != 0) {
        file.state = FileState::NotAFile;
        return file;
    }
    if (is_link(information)) {
        file.state = FileState::NotExamined;
        file.problem = "a link (reparse tag " + tag_text(information.reparse_tag) +
                       "), not followed on the live machine";
        return file;
    }
    if (data_elsewhere(information)) {
        file.state = FileState::NotExamined;
        file.problem = "its data is held elsewhere (offline or in the cloud), and reading it would "
                       "fetch it";
        return file;
    }
    if (!read_contents) {
        file.state = FileState::Present;
        return file;
    }
    FileKey key{information.volume_serial, information.file_index};
    auto known = state.files.find(key);
    if (known == state.files.end())
        known = state.files.emplace(key, read_file(state, path, information)).first;
    const FileFacts &facts = known->second;
    file.state = facts.state;
    file.problem = facts.problem;
    file.size = facts.size;
    file.sha256 = facts.sha256;
    file.modified = facts.modified;
    file.pe = facts.pe;
    return file;
}

bool live_environment(Environment &environment, std::string &error) {
    char16_t *block = environment_block_w();
    if (block == nullptr) {
        error = "the environment of this process cannot be read";
        return false;
    }
    Environment found;
    for (const char16_t *entry = block; *entry != u'\0';) {
        std::u16string_view text(entry);
        // Names that start with '=' ("=C:=C:\work") are the current folders of drives.
        std::size_t equals = text.find(u'=', 1);
        if (equals != std::u16string_view::npos)
            found.set(utf8_of(text.substr(0, equals)), utf8_of(text.substr(equals + 1)));
        entry += text.size() + 1;
    }
    environment_free_w(block);
    // WOW64 gives a 32-bit process the (x86) folders as ProgramFiles and CommonProgramFiles and
    // keeps the others as ProgramW6432 and CommonProgramW6432; environment_for_view starts from
    // what a 64-bit process sees.
    for (auto [name, native] :
         {std::pair<const char *, const char *>{"ProgramFiles", "ProgramW6432"},
          {"CommonProgramFiles", "CommonProgramW6432"}})
        if (const std::string *value = found.find(native))
            found.set(name, *value);
    // Windows sets these from its folder in every process's environment; a program started with
    // an environment of its own may lack them.
    if (!found.find("SystemRoot") || !found.find("windir") || !found.find("SystemDrive")) {
        std::string folder_error;
        std::string windows = utf8_of(windows_folder(folder_error));
        if (!windows.empty()) {
            for (const char *name : {"SystemRoot", "windir"})
                if (!found.find(name))
                    found.set(name, windows);
            if (!found.find("SystemDrive") && windows.size() >= 2 && windows[1] == ':')
                found.set("SystemDrive", windows.substr(0, 2));
        }
    }
    environment = std::move(found);
    return true;
}
