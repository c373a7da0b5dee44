#pragma once

// The programs from outside the project that some tests run (peer readers of what we write),
// found before a test uses them: a missing one fails the test with one line that names the
// Debian package to install, instead of a stack of assertion failures further on.

#include <QString>

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>

namespace talvenor::testing {

enum class Outside {
    Msgconvert, // Perl's Email::Outlook::Message
    Olefile,    // Python's olefile; the program to start is python3
    Pffinfo,
    Pffexport,
    Readpst,
};

// The program to start for it; empty when it is not installed.
QString programFor(Outside what);

// Empty when every one is there and works; otherwise one line saying what is missing and
// which Debian package brings it.
std::string missingOf(std::initializer_list<Outside> needed);

// Whether a test that runs peers over many files beside our converter compares their counts:
// in the plain build. The sanitized build, several times slower on our side, checks our own
// accounting there, and says so once.
inline bool comparesWithPeers() {
#ifdef TALVENOR_SANITIZED
    [[maybe_unused]] static const int told =
        std::printf("peers are compared in the plain build; this sanitized build checks our own "
                    "accounting only\n");
    return false;
#else
    return true;
#endif
}

} // namespace talvenor::testing

// At the start of a test (or of a fixture's SetUp): fails it at once when a program is missing.
#define TALVENOR_NEEDS_OUTSIDE(...)                                                                \
    do {                                                                                           \
        if (const std::string missing_ = ::talvenor::testing::missingOf({__VA_ARGS__});            \
            !missing_.empty())                                                                     \
            GTEST_FAIL() << missing_;                                                              \
    } while (false)
