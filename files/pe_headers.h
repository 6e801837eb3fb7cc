// The machine and kind of a Portable Executable image, from its MZ and PE headers.
#pragma once

#include "files/server_path.h"

#include <cstdint>
#include <optional>
#include <string_view>

enum class PeMachine { X86, X64, Arm64, Other };

const char *machine_name(PeMachine machine); // "x86", "x64", "arm64", "other"

struct PeImage {
    PeMachine machine = PeMachine::Other;
    std::uint16_t machine_code = 0;
    bool dll = false;
};

// The offset of the PE headers named by an MZ header's e_lfanew, when `file_start` (the file's
// first bytes) begins with one and `file_size` holds the 24 bytes of signature and file header
// there.
std::optional<std::uint64_t> pe_header_offset(std::string_view file_start, std::uint64_t file_size);
// The signature and file header at that offset: "PE\0\0", Machine, Characteristics.
std::optional<PeImage> parse_pe_header(std::string_view at_offset);
// Both, over a whole image (or its first bytes, when they hold the headers).
std::optional<PeImage> parse_pe_image(std::string_view bytes);

// Whether an in-process server of `machine` can load into a process of `view`: x86 in the 32-bit
// view, x64 or arm64 in the 64-bit view (arm64 Windows loads x64 code through ARM64EC).
bool machine_fits_view(PeMachine machine, Bitness view);
