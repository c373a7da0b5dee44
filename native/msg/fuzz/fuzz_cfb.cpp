// An OLE object's compound file: reads arbitrary bytes with our reader into a tree and writes
// that tree out again. Any failure must be a cfb::Error.
#include "compoundfile.h"

using namespace talvenor::msg;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        cfb::Tree tree;
        cfb::copyImage({data, size}, tree, cfb::Tree::Root, 0);
        (void)tree.build();
    } catch (const cfb::Error&) {
    }
    return 0;
}
