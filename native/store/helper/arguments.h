// What the program tells a reading helper on its command line.
#pragma once

#include <readalong.h>
#include <records.h>

#include <QString>

#include <cstdint>
#include <optional>
#include <sys/types.h>

namespace talvenor::nativestore::reader {

struct ReaderArguments {
    int fd = -1;      // its end of the socket
    pid_t parent = 0; // the program that started it
    QString path;
    helper::ResumePoint resume;
    std::uint64_t maxRecordSize = records::DefaultMaxRecordSize;
    std::size_t memoryBudget = std::size_t(512) << 20;
};

// nullopt for anything else than the program's own arguments.
std::optional<ReaderArguments> parseArguments(int argc, char** argv);

} // namespace talvenor::nativestore::reader
