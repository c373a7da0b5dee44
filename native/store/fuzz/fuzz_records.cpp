// Feeds arbitrary bytes, in pieces of the sizes the first bytes choose, to the decoder of what
// the reading helper sends, and takes apart every whole record as the program would.
#include "recordroad.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    talvenor::nativestore::fuzz::readRecords(data, size);
    return 0;
}
