// Feeds arbitrary bytes, in pieces of the sizes the first bytes choose, to the decoder of what
// the reading helper sends, and takes apart every whole record as the program would.
#include <records.h>
#include <wire.h>

#include <cstdint>

using namespace talvenor::nativestore;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t piece = std::size_t(data[0]) + 1;
    ++data;
    --size;
    records::Decoder decoder(std::uint64_t(1) << 20);
    for (std::size_t at = 0; at < size; at += piece) {
        decoder.append(data + at, std::min(piece, size - at));
        records::Header header;
        const std::uint8_t* payload = nullptr;
        for (;;) {
            const auto status = decoder.next(header, payload);
            if (status != records::Decoder::Status::Record)
                break;
            const auto n = std::size_t(header.size);
            switch (header.type) {
            case records::Type::Opened:
                wire::decodeTree(payload, n);
                break;
            case records::Type::Item:
                wire::decodeItem(payload, n);
                break;
            case records::Type::OpenFailed:
            case records::Type::ItemFailed:
                records::decodeFailure(payload, n);
                break;
            case records::Type::ItemTooLarge:
                records::decodeSize(payload, n);
                break;
            default:
                break;
            }
        }
        if (decoder.next(header, payload) == records::Decoder::Status::Oversized)
            return 0; // the program stops the helper here
    }
    return 0;
}
