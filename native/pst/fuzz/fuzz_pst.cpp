// A whole store: opens arbitrary bytes with our reader and reads every folder, table and
// message it can reach. Any failure must be a pst::Error.
#include "fuzzinput.h"

#include <walk.h>

using namespace talvenor::pst;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const Store store = Store::openMemory(fuzz::storeBytes(data, size), fuzz::kFuzzOptions);
        walkStore(store, 2000);
    } catch (const Error&) {
    }
    return 0;
}
