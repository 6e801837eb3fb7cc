// The machine and kind of a Portable Executable image, from its MZ and PE headers.
#include "files/pe_headers.h"

const char *machine_name(PeMachine machine) {
    switch (machine) {
    case PeMachine::X86:
        return "x86";
    case PeMachine::X64:
        return "x64";
    case PeMachine::Arm64:
        return "arm64";
    default:
        return "other";
    }
}

std::optional<std::uint64_t> pe_header_offset(std::string_view file_start,
                                              std::uint64_t file_size) {
    if (file_start.size() < 0x40 || file_start[0] != 'M' || file_start[1] != 'Z')
        return std::nullopt;
    std::uint64_t offset = 0;
    for (int i = 3; i >= 0; i--)
        offset = offset << 8 | static_cast<unsigned char>(file_start[0x3c + i]);
    if (offset > file_size || file_size - offset < 24)
        return std::nullopt;
    return offset;
}

std::optional<PeImage> parse_pe_header(std::string_view at_offset) {
    if (at_offset.size() < 24 || at_offset.substr(0, 4) != std::string_view("PE\0\0", 4))
        return std::nullopt;
    auto word = [&](std::size_t at) {
        return static_cast<std::uint16_t>(static_cast<unsigned char>(at_offset[at]) |
                                          static_cast<unsigned char>(at_offset[at + 1]) << 8);
    };
    PeImage image;
    image.machine_code = word(4);
    switch (image.machine_code) {
    case 0x014c:
        image.machine = PeMachine::X86;
        break;
    case 0x8664:
        image.machine = PeMachine::X64;
        break;
    case 0xaa64:
        image.machine = PeMachine::Arm64;
        break;
    default:
        image.machine = PeMachine::Other;
    }
    image.dll = (word(22) & 0x2000) != 0; // IMAGE_FILE_DLL in the file header's Characteristics
    return image;
}

std::optional<PeImage> parse_pe_image(std::string_view bytes) {
    std::optional<std::uint64_t> offset = pe_header_offset(bytes, bytes.size());
    if (!offset)
        return std::nullopt;
    return parse_pe_header(bytes.substr(static_cast<std::size_t>(*offset)));
}

bool machine_fits_view(PeMachine machine, Bitness view) {
    return view == Bitness::Bits32 ? machine == PeMachine::X86
                                   : machine == PeMachine::X64 || machine == PeMachine::Arm64;
}
