#include "app/help_viewer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QTemporaryDir>

namespace pelvane {
namespace {

// A folder laid out like a build tree or an installed prefix.
class ReadmeLookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        ASSERT_TRUE(QDir(root.path()).mkpath("bin"));
    }

    QString path(const QString& relative) const { return QDir(root.path()).filePath(relative); }

    void write(const QString& relative) {
        ASSERT_TRUE(QDir(root.path()).mkpath(QFileInfo(path(relative)).path()));
        QFile file(path(relative));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("guide\n");
    }

    QTemporaryDir root;
};

TEST_F(ReadmeLookupTest, BuildTreeGuideBesideTheProgram) {
    write("bin/readme.txt");
    EXPECT_EQ(readme_path_for(path("bin")), path("bin/readme.txt"));
}

TEST_F(ReadmeLookupTest, InstalledGuideUnderShare) {
    write("share/pelvane/readme.txt");
    EXPECT_EQ(readme_path_for(path("bin")), path("share/pelvane/readme.txt"));
}

TEST_F(ReadmeLookupTest, GuideBesideTheProgramWinsOverTheInstalledOne) {
    write("bin/readme.txt");
    write("share/pelvane/readme.txt");
    EXPECT_EQ(readme_path_for(path("bin")), path("bin/readme.txt"));
}

TEST_F(ReadmeLookupTest, AFolderNamedLikeTheGuideIsNoGuide) {
    ASSERT_TRUE(QDir(root.path()).mkpath("bin/readme.txt"));
    write("share/pelvane/readme.txt");
    EXPECT_EQ(readme_path_for(path("bin")), path("share/pelvane/readme.txt"));
}

TEST_F(ReadmeLookupTest, NoGuideAnywhereGivesThePathBesideTheProgram) {
    EXPECT_EQ(readme_path_for(path("bin")), path("bin/readme.txt"));
}

}  // namespace
}  // namespace pelvane
