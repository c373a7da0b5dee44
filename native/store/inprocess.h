// The producer run in this process, as a record source: what it sends goes straight into the
// program's decoder, one step at a time as the program asks for more. The program then reads
// the store by the same road as through a reading helper (the fuzzer wants to see a crash in
// this process, not a contained one).
#pragma once

#include "producer.h"
#include "readalong.h"

namespace talvenor::nativestore {

// A source that opens the store at `path` and goes on after `from`.
std::unique_ptr<helper::RecordSource> inProcessSource(const QString& path, helper::ResumePoint from,
                                                      ProducerOptions options);

} // namespace talvenor::nativestore
