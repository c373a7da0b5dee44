// Every kind of store the suite can generate, for the tests of our own reader: the shipped
// sample descriptions, the stores of the store tests and a message of every property type,
// each in both formats and every encoding the writer knows.
#pragma once

#include <pstwriter.h>

#include <functional>
#include <string>
#include <vector>

namespace talvenor::pst::test {

struct Fixture {
    std::string name;
    std::function<void(const std::string& path)> write;
};

std::vector<Fixture> allFixtures();

// A small store (one folder, a few messages with recipients and attachments) for the
// damaged-input tests.
void writeSmallStore(const std::string& path, pstwriter::Format format,
                     pstwriter::Encoding encoding);

// A message carrying every property type the model knows, single and multi-valued, in the
// heap and in sub-nodes, with named properties of every kind.
mapi::Message everyTypeMessage();

} // namespace talvenor::pst::test
