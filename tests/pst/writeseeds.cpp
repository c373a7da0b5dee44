// Writes a few damaged copies of a small generated store, one of each kind of damage, as seeds
// for the reader's fuzz targets: `pst_damaged_seeds DIR`. The files in tests/pst/corpus/stores/
// were made with it; the same seed gives the same files.
#include "damagedcorpus.h"

#include <cstdio>
#include <set>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pst_damaged_seeds DIR\n");
        return 2;
    }
    try {
        const auto corpus = talvenor::testing::makeDamagedCorpus(1, 3);
        // One of each kind of damage; the rechecked ones reach the parsers behind checksums.
        const std::set<std::string> chosen = {
            "header-flip-1",   "nbt-branch-flip-1",   "nbt-leaf-flip-1", "bbt-leaf-flip-1",
            "contents-flip-1", "hierarchy-rechecked", "folder-flip-1",   "message-rechecked-1"};
        for (const auto& c : corpus.cases)
            if (chosen.count(c.name))
                talvenor::testing::writeBytes(std::string(argv[1]) + "/damaged-" + c.name + ".pst",
                                              c.bytes);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pst_damaged_seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
