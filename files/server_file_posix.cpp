// Server files examined inside a mounted volume (the Linux build): names found without regard to
// letter case, links followed only while they stay inside the ROOT, regular files hashed once.
#include "files/server_file.h"

#include "files/name_case.h"
#include "registry/ascii_text.h"
#include "registry/host_path.h"
#include "registry/time_text.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>

// The walk below never asks the kernel to follow a link or to go up a folder: each step opens
// one name with O_NOFOLLOW from a folder descriptor that was itself reached that way from the
// ROOT, links are read and their targets walked here, and ".." pops the walk's own stack of
// folders. So nothing outside the ROOT is ever opened, on any kernel, whatever the image holds
// or however it changes under the walk. (openat2's RESOLVE_BENEATH would refuse every absolute
// link, also one that leads to a place inside the ROOT, which is followed here as --system
// follows it, and is missing on older kernels.)
namespace server_files_posix {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(-1); }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

using FileKey = std::pair<dev_t, ino_t>;
// A folder's entries by folded name, each list in byte order.
using Listing = std::map<std::string, std::vector<std::string>>;

// What reading one file found; kept per file for the ROOT.
struct FileFacts {
    FileState state = FileState::Unreadable;
    std::string problem;
    std::uint64_t size = 0;
    std::string sha256;
    std::string modified;
    std::optional<PeImage> pe;
};

} // namespace server_files_posix

using namespace server_files_posix;

struct VolumeFilesState {
    std::string root;
    std::string error;
    UniqueFd root_fd;      // the ROOT, opened for listing
    std::string root_real; // its path with links resolved, to tell where an absolute link leads
    std::string system_folder;
    std::map<FileKey, Listing> listings;
    std::map<FileKey, FileFacts> files;
    // The long names a short one may stand for, by folder and folded short name.
    std::map<std::pair<FileKey, std::string>, std::vector<std::string>> long_names;
    std::size_t files_hashed = 0;
    std::uint64_t hash_limit = kDefaultHashLimit;
    std::optional<bool> holds_program_files; // decided when first asked
    std::vector<unsigned char> buffer;
};

namespace {

constexpr int kMaxLinks = 40;            // the kernel's own limit on links within one path
constexpr std::size_t kHeadBytes = 4096; // kept from the start of a file for its PE headers
constexpr std::size_t kReadBlock = std::size_t(1) << 20;
// Folders of a walk kept open; one deeper than this is reopened from the ROOT when the walk
// climbs back to it, so that depth alone never runs out of descriptors.
constexpr std::size_t kHeldFolders = 32;

std::string error_text(int error) {
    return std::strerror(error);
}

std::string joined(const std::vector<std::string> &parts) {
    std::string text;
    for (const std::string &part : parts)
        text += (text.empty() ? "" : "/") + part;
    return text;
}

std::string folder_label(const std::vector<std::string> &physical) {
    return physical.empty() ? "the ROOT" : joined(physical);
}

// The listing of `folder`, read once per ROOT; nullptr with `problem` when it cannot be read.
const Listing *folder_listing(VolumeFilesState &state, int folder, std::string &problem) {
    struct stat info;
    if (fstat(folder, &info) != 0) {
        problem = error_text(errno);
        return nullptr;
    }
    FileKey key{info.st_dev, info.st_ino};
    auto cached = state.listings.find(key);
    if (cached != state.listings.end())
        return &cached->second;
    // A descriptor of its own, so that the listing starts at the beginning.
    int copy = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    DIR *dir = copy >= 0 ? fdopendir(copy) : nullptr;
    if (dir == nullptr) {
        problem = error_text(errno);
        if (copy >= 0)
            close(copy);
        return nullptr;
    }
    Listing listing;
    errno = 0;
    while (dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            listing[fold_case(entry->d_name)].push_back(entry->d_name);
        errno = 0;
    }
    int read_error = errno;
    closedir(dir);
    if (read_error != 0) {
        problem = error_text(read_error);
        return nullptr;
    }
    for (auto &entry : listing)
        std::sort(entry.second.begin(), entry.second.end());
    return &state.listings.emplace(key, std::move(listing)).first->second;
}

enum class Lookup { Found, NotFound, Unlistable, Ambiguous };

// The one long name of `listing` that a generated short name (with no entry of its own: the
// volume keeps no DOS names here) can stand for; the names that could are found once per folder.
Lookup find_long_name(VolumeFilesState &state, int folder, const Listing &listing,
                      const std::string &wanted, std::string &name, std::string &problem) {
    struct stat info;
    if (fstat(folder, &info) != 0) {
        problem = error_text(errno);
        return Lookup::Unlistable;
    }
    auto key = std::make_pair(FileKey{info.st_dev, info.st_ino}, fold_case(wanted));
    auto known = state.long_names.find(key);
    if (known == state.long_names.end()) {
        std::vector<std::string> candidates;
        for (const auto &entry : listing)
            for (const std::string &spelling : entry.second)
                if (shortens_to(spelling, wanted))
                    candidates.push_back(spelling);
        known = state.long_names.emplace(key, std::move(candidates)).first;
    }
    const std::vector<std::string> &candidates = known->second;
    if (candidates.empty())
        return Lookup::NotFound;
    if (candidates.size() == 1) {
        name = candidates.front();
        return Lookup::Found;
    }
    problem = "the short name " + wanted + " may stand for any of " +
              std::to_string(candidates.size()) + " names here (" + candidates[0] + ", " +
              candidates[1] + (candidates.size() > 2 ? ", …" : "") +
              "), and which one this volume gave it is not known";
    return Lookup::Ambiguous;
}

// The entry of `folder` named `wanted` without regard to letter case: the exact spelling when
// there is one, else the first in byte order. `spellings` gets every spelling the folder holds
// of it (grouped once per folder, when it is listed). A folder that cannot be listed still
// answers for the exact spelling.
Lookup find_entry(VolumeFilesState &state, int folder, const std::string &wanted, std::string &name,
                  std::string &problem, const std::vector<std::string> **spellings = nullptr) {
    const Listing *listing = folder_listing(state, folder, problem);
    if (listing == nullptr) {
        struct stat info;
        if (fstatat(folder, wanted.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return Lookup::Unlistable;
        name = wanted;
        return Lookup::Found;
    }
    auto match = listing->find(fold_case(wanted));
    if (match == listing->end() && is_generated_short_name(wanted))
        return find_long_name(state, folder, *listing, wanted, name, problem);
    if (match == listing->end())
        return Lookup::NotFound;
    name = match->second.front();
    if (std::binary_search(match->second.begin(), match->second.end(), wanted))
        name = wanted;
    if (spellings != nullptr)
        *spellings = &match->second;
    return Lookup::Found;
}

bool read_link(int folder, const std::string &name, std::string &target) {
    std::vector<char> text(PATH_MAX);
    ssize_t length = readlinkat(folder, name.c_str(), text.data(), text.size());
    if (length < 0 || static_cast<std::size_t>(length) >= text.size())
        return false;
    target.assign(text.data(), static_cast<std::size_t>(length));
    return true;
}

// The folders a walk stands in, from the ROOT: the deepest kHeldFolders of them open, the
// others reopened from the ROOT (each name with O_NOFOLLOW, as the walk opened it) when the walk
// climbs back into them.
class FolderChain {
  public:
    explicit FolderChain(VolumeFilesState &state) : state_(state) {}
    const std::vector<std::string> &physical() const { return physical_; }
    int current() const { return held_.empty() ? state_.root_fd.get() : held_.back().get(); }
    void enter(UniqueFd folder, const std::string &name) {
        physical_.push_back(name);
        held_.push_back(std::move(folder));
        if (held_.size() > kHeldFolders)
            held_.pop_front();
    }
    // False with `problem` when a folder above could not be opened again.
    bool leave(std::string &problem) {
        physical_.pop_back();
        held_.pop_back();
        if (!held_.empty() || physical_.empty())
            return true;
        int folder = state_.root_fd.get();
        for (std::size_t i = 0; i < physical_.size(); i++) {
            UniqueFd next(openat(folder, physical_[i].c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (next.get() < 0) {
                problem =
                    joined(physical_) + ": cannot be opened again (" + error_text(errno) + ")";
                return false;
            }
            held_.push_back(std::move(next));
            if (held_.size() > kHeldFolders)
                held_.pop_front();
            folder = held_.back().get();
        }
        return true;
    }
    void clear() {
        physical_.clear();
        held_.clear();
    }
    // A descriptor of the current folder for the caller to keep.
    UniqueFd take_current() {
        if (held_.empty())
            return UniqueFd(fcntl(state_.root_fd.get(), F_DUPFD_CLOEXEC, 0));
        UniqueFd folder = std::move(held_.back());
        held_.pop_back();
        return folder;
    }

  private:
    VolumeFilesState &state_;
    std::vector<std::string> physical_;
    std::deque<UniqueFd> held_;
};

// Where a walk from the ROOT along some names ended.
struct Walk {
    FileState state = FileState::Missing; // Present: a regular file, still to be read
    std::string problem;
    std::vector<std::string> named;    // the names asked for, as spelled on disk, then as asked
    std::vector<std::string> physical; // where the walk really went, from the ROOT
    // For each name of `named` found on disk: its other spellings in that folder (at most
    // kMaxCaseVariants).
    std::vector<std::vector<std::string>> other_spellings;
    bool followed_link = false;
    UniqueFd parent; // the folder holding the last name, when it was found
    std::string name;
    struct stat info {};
};

Walk walk(VolumeFilesState &state, const std::vector<std::string> &place) {
    struct Step {
        std::string name;
        bool asked; // one of `place`, not from a link's target
    };
    Walk result;
    std::deque<Step> steps;
    for (const std::string &name : place)
        steps.push_back({name, true});
    FolderChain folders(state);
    auto stop = [&](FileState stopped, std::string problem) {
        for (const Step &step : steps)
            if (step.asked)
                result.named.push_back(step.name);
        result.state = stopped;
        result.problem = std::move(problem);
        result.physical = folders.physical();
        return std::move(result);
    };
    int links = 0;
    while (!steps.empty()) {
        Step step = std::move(steps.front());
        steps.pop_front();
        if (step.name == "..") {
            if (folders.physical().empty())
                return stop(FileState::Outside, "a link leads above the ROOT");
            std::string problem;
            if (!folders.leave(problem))
                return stop(FileState::Unreadable, problem);
            continue;
        }
        std::string name, problem;
        const std::vector<std::string> *spellings = nullptr;
        Lookup lookup = find_entry(state, folders.current(), step.name, name, problem, &spellings);
        if (lookup != Lookup::Found) {
            if (step.asked)
                steps.push_front(step);
            if (lookup == Lookup::NotFound)
                return stop(FileState::Missing, "");
            if (lookup == Lookup::Ambiguous)
                return stop(FileState::NotExamined, problem);
            return stop(FileState::Unreadable,
                        folder_label(folders.physical()) + ": cannot be listed (" + problem + ")");
        }
        if (step.asked) {
            result.named.push_back(name);
            std::vector<std::string> others;
            if (spellings != nullptr)
                for (const std::string &other : *spellings)
                    if (other != name && others.size() < kMaxCaseVariants)
                        others.push_back(other);
            result.other_spellings.push_back(std::move(others));
        }
        struct stat info;
        if (fstatat(folders.current(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return stop(FileState::Unreadable, error_text(errno));
        if (S_ISLNK(info.st_mode)) {
            std::string target;
            if (++links > kMaxLinks)
                return stop(FileState::Unreadable, "too many links (a loop of links?)");
            if (!read_link(folders.current(), name, target))
                return stop(FileState::Unreadable, "a link that cannot be read");
            result.followed_link = true;
            if (!target.empty() && target[0] == '/') {
                if (!path_inside(state.root_real, target))
                    return stop(FileState::Outside, "a link to " + target + ", outside the ROOT");
                folders.clear();
                target.erase(0, state.root_real == "/" ? 0 : state.root_real.size());
            }
            std::vector<std::string> parts;
            for (std::size_t start = 0; start <= target.size();) {
                std::size_t end = std::min(target.find('/', start), target.size());
                std::string part = target.substr(start, end - start);
                if (!part.empty() && part != ".")
                    parts.push_back(std::move(part));
                start = end + 1;
            }
            for (auto part = parts.rbegin(); part != parts.rend(); ++part)
                steps.push_front({*part, false});
            continue;
        }
        if (steps.empty()) {
            result.state = S_ISREG(info.st_mode) ? FileState::Present : FileState::NotAFile;
            result.physical = folders.physical();
            result.physical.push_back(name);
            result.parent = folders.take_current();
            result.name = name;
            result.info = info;
            if (result.parent.get() < 0)
                return stop(FileState::Unreadable, error_text(errno));
            return result;
        }
        if (!S_ISDIR(info.st_mode))
            return stop(FileState::Missing, ""); // a file where a folder should be
        UniqueFd folder(openat(folders.current(), name.c_str(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (folder.get() < 0)
            return stop(FileState::Unreadable, joined(folders.physical()) + "/" + name +
                                                   ": cannot be opened (" + error_text(errno) +
                                                   ")");
        folders.enter(std::move(folder), name);
    }
    result.state = FileState::NotAFile; // the ROOT itself, or a link to it
    result.physical = folders.physical();
    return result;
}

FileFacts unreadable(std::string problem) {
    FileFacts facts;
    facts.problem = std::move(problem);
    return facts;
}

// Reads the regular file the walk found, once, never more than the size fstat gives.
FileFacts read_file(VolumeFilesState &state, const Walk &found) {
    UniqueFd file(openat(found.parent.get(), found.name.c_str(),
                         O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0)
        return unreadable("cannot be opened (" + error_text(errno) + ")");
    struct stat info;
    if (fstat(file.get(), &info) != 0)
        return unreadable(error_text(errno));
    if (!S_ISREG(info.st_mode) || info.st_dev != found.info.st_dev ||
        info.st_ino != found.info.st_ino)
        return unreadable("the file changed while it was examined");
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest(EVP_MD_CTX_new(),
                                                                   EVP_MD_CTX_free);
    if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1)
        return unreadable("SHA-256 is not available from libcrypto");
    auto size = static_cast<std::uint64_t>(info.st_size);
    state.buffer.resize(kReadBlock);
    std::string head;
    // A file past the hash limit is read only for its head and PE headers.
    bool too_large = size > state.hash_limit;
    std::uint64_t read_to = too_large ? std::min<std::uint64_t>(size, kHeadBytes) : size;
    for (std::uint64_t done = 0; done < read_to;) {
        auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kReadBlock, read_to - done));
        ssize_t got = read(file.get(), state.buffer.data(), wanted);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return unreadable("cannot be read (" + error_text(errno) + ")");
        if (got == 0)
            return unreadable("the file was cut short while it was read");
        auto length = static_cast<std::size_t>(got);
        if (head.size() < kHeadBytes)
            head.append(reinterpret_cast<const char *>(state.buffer.data()),
                        std::min(length, kHeadBytes - head.size()));
        if (EVP_DigestUpdate(digest.get(), state.buffer.data(), length) != 1)
            return unreadable("SHA-256 failed");
        done += length;
    }
    FileFacts facts;
    if (too_large) {
        facts.state = FileState::NotExamined;
        facts.problem = "larger than the hash limit of " + std::to_string(state.hash_limit) +
                        " bytes (--hash-limit): not hashed";
    } else {
        unsigned char sum[EVP_MAX_MD_SIZE];
        unsigned int sum_length = 0;
        if (EVP_DigestFinal_ex(digest.get(), sum, &sum_length) != 1)
            return unreadable("SHA-256 failed");
        state.files_hashed++;
        facts.state = FileState::Present;
        facts.sha256 = hex_text(sum, sum_length);
    }
    facts.size = size;
    facts.modified =
        format_unix_time(info.st_mtim.tv_sec, static_cast<std::uint32_t>(info.st_mtim.tv_nsec));
    if (std::optional<std::uint64_t> offset = pe_header_offset(head, size)) {
        if (*offset + 24 <= head.size()) {
            facts.pe = parse_pe_header(std::string_view(head).substr(*offset));
        } else {
            char header[24];
            if (pread(file.get(), header, sizeof header, static_cast<off_t>(*offset)) ==
                static_cast<ssize_t>(sizeof header))
                facts.pe = parse_pe_header(std::string_view(header, sizeof header));
        }
    }
    return facts;
}

// The top-level folder that holds System32: "Windows" when there is one, else the first in
// byte order.
std::string find_system_folder(VolumeFilesState &state) {
    std::string problem;
    const Listing *top = folder_listing(state, state.root_fd.get(), problem);
    if (top == nullptr)
        return "";
    std::vector<std::string> names;
    for (const auto &entry : *top)
        names.insert(names.end(), entry.second.begin(), entry.second.end());
    std::sort(names.begin(), names.end());
    std::string found;
    for (const std::string &name : names) {
        UniqueFd folder(openat(state.root_fd.get(), name.c_str(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        std::string system32;
        struct stat info;
        if (folder.get() < 0 ||
            find_entry(state, folder.get(), "System32", system32, problem) != Lookup::Found ||
            fstatat(folder.get(), system32.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(info.st_mode))
            continue;
        if (equal_folded(name, "Windows"))
            return name;
        if (found.empty())
            found = name;
    }
    return found;
}

} // namespace

VolumeFiles::VolumeFiles(const std::string &root) : state_(std::make_unique<VolumeFilesState>()) {
    VolumeFilesState &state = *state_;
    state.root = root;
    state.root_fd.reset(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    if (state.root_fd.get() < 0) {
        state.error = root + ": cannot be opened (" + error_text(errno) + ")";
        return;
    }
    char resolved[PATH_MAX];
    if (realpath(root.c_str(), resolved) == nullptr) {
        state.error = root + ": cannot be resolved (" + error_text(errno) + ")";
        state.root_fd.reset(-1);
        return;
    }
    state.root_real = resolved;
    state.system_folder = find_system_folder(state);
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
    VolumeFilesState &state = *state_;
    if (!state.holds_program_files) {
        state.holds_program_files = false;
        std::string system32, problem;
        UniqueFd folder;
        if (!state.system_folder.empty() && state.error.empty())
            folder.reset(openat(state.root_fd.get(), state.system_folder.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (folder.get() >= 0 &&
            find_entry(state, folder.get(), "System32", system32, problem) == Lookup::Found) {
            UniqueFd inner(openat(folder.get(), system32.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            const Listing *listing =
                inner.get() >= 0 ? folder_listing(state, inner.get(), problem) : nullptr;
            // Unlistable counts as holding files: it is not shown to be a collection.
            state.holds_program_files = listing == nullptr;
            if (listing != nullptr)
                for (const auto &entry : *listing)
                    if (entry.first.size() > 4 &&
                        entry.first.compare(entry.first.size() - 4, 4, ".dll") == 0) {
                        state.holds_program_files = true;
                        break;
                    }
        }
    }
    return *state.holds_program_files;
}

namespace {

// The file at `place`, without its case variants.
ServerFile examine_one(VolumeFilesState &state, const std::vector<std::string> &place,
                       bool read_contents, std::vector<std::vector<std::string>> *variants) {
    ServerFile file;
    Walk found = walk(state, place);
    file.path = joined(found.named);
    file.state = found.state;
    file.problem = found.problem;
    if (found.followed_link &&
        (found.state == FileState::Present || found.state == FileState::NotAFile))
        file.target = joined(found.physical);
    // The same path with one found name spelled another way, for each such name.
    if (variants != nullptr)
        for (std::size_t i = 0; i < found.other_spellings.size(); i++)
            for (const std::string &other : found.other_spellings[i]) {
                std::vector<std::string> variant(
                    found.named.begin(), found.named.begin() + static_cast<std::ptrdiff_t>(i));
                variant.push_back(other);
                variant.insert(variant.end(), place.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                               place.end());
                variants->push_back(std::move(variant));
            }
    if (found.state != FileState::Present || !read_contents)
        return file;
    FileKey key{found.info.st_dev, found.info.st_ino};
    auto known = state.files.find(key);
    if (known == state.files.end())
        known = state.files.emplace(key, read_file(state, found)).first;
    const FileFacts &facts = known->second;
    file.state = facts.state;
    file.problem = facts.problem;
    file.size = facts.size;
    file.sha256 = facts.sha256;
    file.modified = facts.modified;
    file.pe = facts.pe;
    return file;
}

} // namespace

ServerFile examine_place(VolumeFiles &volume, const std::vector<std::string> &place,
                         bool read_contents) {
    VolumeFilesState &state = volume.state();
    ServerFile file;
    if (!state.error.empty()) {
        file.state = FileState::NotExamined;
        file.problem = state.error;
        return file;
    }
    for (const std::string &name : place)
        if (name.find(':') != std::string::npos) {
            file.path = joined(place);
            file.state = FileState::NotExamined;
            file.problem = "names an alternate data stream (file:stream), which is not examined";
            return file;
        }
    // Each spelling of a name that matches in another case is examined too, breadth first, so
    // that a decoy never hides its twin; at most kMaxCaseVariants of them.
    std::vector<std::vector<std::string>> pending;
    file = examine_one(state, place, read_contents, &pending);
    std::set<std::string> seen = {file.path};
    for (std::size_t next = 0; next < pending.size(); next++) {
        if (file.case_variants.size() == kMaxCaseVariants) {
            file.problem += std::string(file.problem.empty() ? "" : "; ") + "more than " +
                            std::to_string(kMaxCaseVariants) +
                            " files match this name in other letter cases: the others are not "
                            "examined";
            break;
        }
        std::vector<std::vector<std::string>> more;
        ServerFile variant = examine_one(state, pending[next], read_contents, &more);
        if (!seen.insert(variant.path).second)
            continue;
        file.case_variants.push_back(std::move(variant));
        for (std::vector<std::string> &place_more : more)
            if (pending.size() < 4 * kMaxCaseVariants)
                pending.push_back(std::move(place_more));
    }
    return file;
}
