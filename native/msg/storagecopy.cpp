#include "storagecopy.h"

#include <cstring>

namespace talvenor::msg {

namespace {
constexpr std::uint8_t Signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
} // namespace

bool isCompoundFile(const mapi::Bytes& bytes) {
    return bytes.size() >= 512 && std::memcmp(bytes.data(), Signature, sizeof Signature) == 0;
}

void copyImageInto(const mapi::Bytes& image, cfb::Tree& tree, cfb::Tree::Id to,
                   std::uint64_t stamp) {
    try {
        cfb::copyImage(image, tree, to, stamp);
    } catch (const cfb::Error& e) {
        throw std::string("an attached storage cannot be copied: ") + e.what();
    }
}

} // namespace talvenor::msg
