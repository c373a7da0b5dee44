// The reading helper: the only process that opens a store file. The program starts it and
// takes what it hands over; it ends when the program ends.
#include "readerloop.h"

int main(int argc, char** argv) {
    return talvenor::nativestore::reader::readerMain(argc, argv);
}
