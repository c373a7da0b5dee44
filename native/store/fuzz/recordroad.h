// The road the record fuzz target takes: bytes in pieces of the size the first byte chooses,
// fed to the decoder of what the reading helper sends, and every whole record taken apart as
// the program would. Shared with the plain test that runs every seed.
#pragma once

#include <records.h>
#include <wire.h>

#include <algorithm>
#include <cstdint>

namespace talvenor::nativestore::fuzz {

struct RecordRoad {
    std::size_t records = 0; // whole records the decoder handed out
    std::size_t refused = 0; // of those, payloads their decoder refused
    bool oversized = false;  // a record claimed more than the limit: the program stops here
    std::size_t pending = 0; // bytes of a record that never arrived whole
};

inline RecordRoad readRecords(const std::uint8_t* data, std::size_t size) {
    RecordRoad road;
    if (size < 1)
        return road;
    const std::size_t piece = std::size_t(data[0]) + 1;
    ++data;
    --size;
    records::Decoder decoder(std::uint64_t(1) << 20);
    records::ValueParts parts(std::uint64_t(1) << 20);
    for (std::size_t at = 0; at < size; at += piece) {
        decoder.append(data + at, std::min(piece, size - at));
        records::Header header;
        const std::uint8_t* payload = nullptr;
        for (;;) {
            const auto status = decoder.next(header, payload);
            if (status == records::Decoder::Status::Oversized) {
                road.oversized = true;
                return road;
            }
            if (status != records::Decoder::Status::Record)
                break;
            ++road.records;
            const auto n = std::size_t(header.size);
            bool ok = true;
            switch (header.type) {
            case records::Type::Opened:
                ok = wire::decodeTree(payload, n).has_value();
                break;
            case records::Type::ValuePart:
                ok = parts.take(header.folder, header.index, payload, n);
                break;
            case records::Type::Item: {
                auto apart = parts.finish(header.folder, header.index);
                ok = apart && wire::decodeItem(payload, n, &*apart).has_value();
                break;
            }
            case records::Type::OpenFailed:
            case records::Type::ItemFailed:
                ok = records::decodeFailure(payload, n).has_value();
                break;
            case records::Type::ItemTooLarge:
                ok = records::decodeSize(payload, n).has_value();
                break;
            default:
                break;
            }
            road.refused += ok ? 0 : 1;
        }
    }
    road.pending = decoder.pending();
    return road;
}

} // namespace talvenor::nativestore::fuzz
