#include "app/help_viewer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace pelvane {
namespace {

TEST(ReadmeLookup, InstalledGuideUnderShareUnlessOneLiesBesideTheProgram) {
    QTemporaryDir root;
    const QDir dir(root.path());
    ASSERT_TRUE(dir.mkpath("bin") && dir.mkpath("share/pelvane"));
    EXPECT_EQ(readme_path_for(dir.filePath("bin")), dir.filePath("bin/readme.txt"));  // none: beside
    for (const char* guide : {"share/pelvane/readme.txt", "bin/readme.txt"}) {
        QFile file(dir.filePath(guide));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        EXPECT_EQ(readme_path_for(dir.filePath("bin")), dir.filePath(guide));
    }
}

}  // namespace
}  // namespace pelvane
