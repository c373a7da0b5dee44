#include "outcomes.h"

namespace talvenor {

void FileCounts::add(const FileCounts& other) {
    written += other.written;
    savedFromDamage += other.savedFromDamage;
    reported += other.reported;
    skipped.add(other.skipped);
    notConverted += other.notConverted;
    recovered += other.recovered;
    storeReports += other.storeReports;
    failed = failed || other.failed;
}

} // namespace talvenor
