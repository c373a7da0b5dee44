#include "systemfolderaccess.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace talvenor;

namespace {

TEST(SystemFolderAccessTest, AnswersForRealFolders) {
    QTemporaryDir dir;
    SystemFolderAccess access;
    EXPECT_TRUE(access.canWrite(dir.path()));
    EXPECT_TRUE(access.canWrite(dir.path() + "/"));
    EXPECT_FALSE(access.canWrite(dir.path() + "/missing/"));
    EXPECT_FALSE(access.canWrite(""));
    EXPECT_EQ(access.refusal(dir.path() + "/missing/"), Cause::NotFound);
    // /proc is mounted without write permission for files even for root.
    EXPECT_FALSE(access.canWrite("/proc/self/"));
}

} // namespace
