// The reading helper: the only process that opens a store file. The program starts it and
// takes what it hands over; it ends when the program ends.
#include <nativestore.h>

int main(int argc, char** argv) {
    return talvenor::nativestore::readerMain(argc, argv);
}
