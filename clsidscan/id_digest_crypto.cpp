// The digest of finding ids through libcrypto's SHA-256 (the Linux build).
#include "clsidscan/finding_ids.h"

#include "registry/ascii_text.h"

#include <openssl/evp.h>

std::string id_digest(std::string_view text) {
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), sum, &length, EVP_sha256(), nullptr) != 1 ||
        length < 8)
        return std::string();
    return hex_text(sum, 8);
}
