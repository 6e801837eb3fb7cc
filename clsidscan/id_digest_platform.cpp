// The digest of finding ids through the platform's SHA-256 (CryptoAPI in the Windows build).
#include "clsidscan/finding_ids.h"

#include "registry/ascii_text.h"
#include "scanframe/platform.h"

#include <algorithm>

std::string id_digest(std::string_view text) {
    Sha256Hash hash = nullptr;
    if (sha256_begin(&hash) != FILE_SUCCESS)
        return std::string();
    unsigned char sum[SHA256_BYTES];
    bool done = true;
    // CryptHashData takes a 32-bit count: long texts go in pieces.
    for (std::size_t at = 0; done && at < text.size(); at += 1u << 30) {
        std::size_t piece = std::min<std::size_t>(text.size() - at, 1u << 30);
        done = sha256_add(hash, reinterpret_cast<const unsigned char *>(text.data() + at),
                          static_cast<unsigned long>(piece)) == FILE_SUCCESS;
    }
    done = done && sha256_end(hash, sum) == FILE_SUCCESS;
    sha256_close(hash);
    if (!done)
        return std::string();
    return hex_text(sum, 8);
}
