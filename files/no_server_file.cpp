// Server files in the Windows build: the portable resolution runs, the files themselves are not
// examined (a mounted image is a Linux job; the live machine's files are for later).
#include "files/server_file.h"

struct VolumeFilesState {
    std::string error;
    std::string system_folder;
};

VolumeFiles::VolumeFiles(const std::string &root) : state_(std::make_unique<VolumeFilesState>()) {
    state_->error = root + ": the files of a volume are examined only by the Linux build";
}

VolumeFiles::~VolumeFiles() = default;

bool VolumeFiles::ok() const {
    return false;
}
const std::string &VolumeFiles::error() const {
    return state_->error;
}
const std::string &VolumeFiles::system_folder() const {
    return state_->system_folder;
}
std::size_t VolumeFiles::files_hashed() const {
    return 0;
}

ServerFile examine_place(VolumeFiles &volume, const std::vector<std::string> &) {
    ServerFile file;
    file.state = FileState::NotExamined;
    file.problem = volume.error();
    return file;
}
