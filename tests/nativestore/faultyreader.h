// Store options that start the tests' reading helper, which shows the faults it is told to
// (see faultyreader.cpp for the list), instead of the shipped one.
#pragma once

#include <nativestore.h>

namespace talvenor::testing {

inline nativestore::StoreOptions withFaults(nativestore::StoreOptions options,
                                            const QString& faults) {
    options.helperProgram = QStringLiteral(TALVENOR_FAULTY_READER);
    options.helperArguments = {QStringLiteral("--faults=") + faults};
    return options;
}

} // namespace talvenor::testing
