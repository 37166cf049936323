#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shell/xevkestroappcore.h"

namespace {

class AppCoreTest : public ::testing::Test {
protected:
    QString Path(const QString& relative) const { return root_.path() + u'/' + relative; }
    void MakeFile(const QString& relative, const QByteArray& bytes = {})
    {
        QDir().mkpath(QFileInfo(Path(relative)).path());
        QFile file(Path(relative));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    void MakeFolder(const QString& relative) { ASSERT_TRUE(QDir().mkpath(Path(relative))); }
    void SetTime(const QString& relative, time_t seconds, long nanoseconds)
    {
        const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(Path(relative)).constData(), times, 0), 0);
    }

    QTemporaryDir root_;
};

}   // namespace

TEST_F(AppCoreTest, DicomDirTwoFoldersUpElseBesideTheProgramAndTheHelpFile)
{
    const QString program = Path(QStringLiteral("VIEWER/BIN/"));
    MakeFolder(QStringLiteral("VIEWER/BIN"));
    EXPECT_TRUE(CKestroAppCore::FindDicomDirPath(program).isEmpty());
    MakeFile(QStringLiteral("VIEWER/BIN/DICOMDIR"));
    EXPECT_EQ(CKestroAppCore::FindDicomDirPath(program), program + QStringLiteral("DICOMDIR"));
    MakeFile(QStringLiteral("DICOMDIR"));
    EXPECT_EQ(CKestroAppCore::FindDicomDirPath(program), Path(QStringLiteral("DICOMDIR")));
    // A folder of that name up there does not count.
    MakeFolder(QStringLiteral("X/DICOMDIR"));
    MakeFolder(QStringLiteral("X/A/B"));
    MakeFile(QStringLiteral("X/A/B/DICOMDIR"));
    EXPECT_EQ(CKestroAppCore::FindDicomDirPath(Path(QStringLiteral("X/A/B/"))), Path(QStringLiteral("X/A/B/DICOMDIR")));
    // As a disc mounted without name mapping shows it.
    MakeFolder(QStringLiteral("ISO/VIEWER/BIN"));
    MakeFile(QStringLiteral("ISO/DICOMDIR;1"));
    EXPECT_EQ(CKestroAppCore::FindDicomDirPath(Path(QStringLiteral("ISO/VIEWER/BIN/"))),
              Path(QStringLiteral("ISO/DICOMDIR;1")));

    MakeFolder(QStringLiteral("VIEWER/BIN/ZYLV.CHM"));
    EXPECT_TRUE(CKestroAppCore::GetHelpFilePath(program).isEmpty());
    MakeFile(QStringLiteral("X/A/B/ZYLV.CHM"));
    EXPECT_EQ(CKestroAppCore::GetHelpFilePath(Path(QStringLiteral("X/A/B"))), Path(QStringLiteral("X/A/B/ZYLV.CHM")));
}

TEST_F(AppCoreTest, AgreementFolderUnderTheDataHomeIsPrivate)
{
    const QByteArray old = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(Path(QStringLiteral("data"))));
    const QString folder = CKestroAppCore::GetAgreementFolder();
    EXPECT_EQ(folder, Path(QStringLiteral("data/Korvanta MEDICAL/RV-K Viewer/")));
    struct stat st;
    ASSERT_EQ(stat(QFile::encodeName(folder).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A file where a folder should be: no folder.
    MakeFile(QStringLiteral("blocked/Korvanta MEDICAL"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(Path(QStringLiteral("blocked"))));
    EXPECT_TRUE(CKestroAppCore::GetAgreementFolder().isEmpty());
    if (old.isNull()) {
        qunsetenv("XDG_DATA_HOME");
    } else {
        qputenv("XDG_DATA_HOME", old);
    }
}

TEST_F(AppCoreTest, AgreementIsCurrentOnlyWhenStrictlyNewerThanTheShortcut)
{
    const QString agreement = Path(QStringLiteral("agree/"));
    const QString program = Path(QStringLiteral("program/"));
    MakeFile(QStringLiteral("agree/Agree"));
    MakeFolder(QStringLiteral("program"));
    EXPECT_FALSE(CKestroAppCore::IsAgreementCurrent(agreement, program));   // no shortcut
    MakeFile(QStringLiteral("program/ZYLV.lnk"));
    SetTime(QStringLiteral("program/ZYLV.lnk"), 1700000000, 500);
    SetTime(QStringLiteral("agree/Agree"), 1700000000, 500);
    EXPECT_FALSE(CKestroAppCore::IsAgreementCurrent(agreement, program));
    SetTime(QStringLiteral("agree/Agree"), 1700000000, 501);
    EXPECT_TRUE(CKestroAppCore::IsAgreementCurrent(agreement, program));
    SetTime(QStringLiteral("agree/Agree"), 1699999999, 999999999);
    EXPECT_FALSE(CKestroAppCore::IsAgreementCurrent(agreement, program));
    EXPECT_FALSE(CKestroAppCore::IsAgreementCurrent(QString(), program));
    // A folder named like the marker is no acceptance.
    MakeFolder(QStringLiteral("other/Agree"));
    EXPECT_FALSE(CKestroAppCore::IsAgreementCurrent(Path(QStringLiteral("other/")), program));
}

TEST(AppArgumentsTest, AgreeCountsOnlyAsAWholeArgument)
{
    EXPECT_TRUE(CKestroAppCore::HasAgreeArgument({"kestro", "/Agree"}));
    EXPECT_TRUE(CKestroAppCore::HasAgreeArgument({"kestro", "/media/cd/DICOMDIR", "/Agree"}));
    EXPECT_FALSE(CKestroAppCore::HasAgreeArgument({"/Agree"}));   // the program itself
    EXPECT_FALSE(CKestroAppCore::HasAgreeArgument({"kestro", "/media/Agree/DICOMDIR"}));
    EXPECT_FALSE(CKestroAppCore::HasAgreeArgument({"kestro", "/Agreement"}));
    EXPECT_EQ(CKestroAppCore::PathArgument({"kestro", "/Agree", "/media/cd/./DICOMDIR"}),
              QStringLiteral("/media/cd/DICOMDIR"));
    EXPECT_EQ(CKestroAppCore::PathArgument({"kestro", "disc/DICOMDIR"}),
              QDir::currentPath() + QStringLiteral("/disc/DICOMDIR"));
    EXPECT_TRUE(CKestroAppCore::PathArgument({"kestro", "/Agree"}).isEmpty());
}

TEST_F(AppCoreTest, DeleteFolderTreeRemovesDotFilesAndSubfoldersButNotLinkTargets)
{
    MakeFile(QStringLiteral("Kestro/.hidden"), "x");
    MakeFile(QStringLiteral("Kestro/a"), "x");
    MakeFile(QStringLiteral("Kestro/sub/.deep/b"), "x");
    MakeFile(QStringLiteral("keep/patient.dcm"), "x");
    ASSERT_EQ(symlink(QFile::encodeName(Path(QStringLiteral("keep"))).constData(),
                      QFile::encodeName(Path(QStringLiteral("Kestro/link"))).constData()),
              0);
    ASSERT_EQ(symlink(QFile::encodeName(Path(QStringLiteral("keep/patient.dcm"))).constData(),
                      QFile::encodeName(Path(QStringLiteral("Kestro/sub/file-link"))).constData()),
              0);
    EXPECT_TRUE(CKestroAppCore::DeleteFolderTree(Path(QStringLiteral("Kestro"))));
    EXPECT_FALSE(QFileInfo::exists(Path(QStringLiteral("Kestro"))));
    EXPECT_TRUE(QFileInfo::exists(Path(QStringLiteral("keep/patient.dcm"))));
}

TEST_F(AppCoreTest, DeleteFolderTreeOfSomethingNotAFolderDeletesNothing)
{
    MakeFile(QStringLiteral("keep/patient.dcm"), "x");
    const QString link = Path(QStringLiteral("Kestro"));
    ASSERT_EQ(symlink(QFile::encodeName(Path(QStringLiteral("keep"))).constData(), QFile::encodeName(link).constData()),
              0);
    EXPECT_FALSE(CKestroAppCore::DeleteFolderTree(link));
    EXPECT_FALSE(CKestroAppCore::DeleteFolderTree(link + QStringLiteral("//")));
    EXPECT_FALSE(CKestroAppCore::DeleteFolderTree(Path(QStringLiteral("keep/patient.dcm"))));
    EXPECT_FALSE(CKestroAppCore::DeleteFolderTree(Path(QStringLiteral("missing"))));
    EXPECT_FALSE(CKestroAppCore::DeleteFolderTree(QString()));
    EXPECT_TRUE(QFileInfo::exists(Path(QStringLiteral("keep/patient.dcm"))));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
}
