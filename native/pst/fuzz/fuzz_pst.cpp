// A whole store: opens arbitrary bytes with our reader and reads every folder, table and
// message it can reach. Any failure must be a pst::Error.
#include "fuzzroads.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    talvenor::pst::fuzz::readWholeStore(data, size);
    return 0;
}
