#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "platform/platfolder.h"

// A temporary program folder for the settings files, restored after the test.
class XEVProgramFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder_.isValid());
        PlatSetModuleFolderForTest(folder_.path().toStdString());
    }
    void TearDown() override { PlatSetModuleFolderForTest(""); }

    void WriteFile(const QString& name, const QByteArray& bytes)
    {
        QFile file(QDir(folder_.path()).filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    void WriteFile(const char* name, const QByteArray& bytes) { WriteFile(QString::fromLatin1(name), bytes); }
    void WriteIni(const QByteArray& bytes) { WriteFile(QStringLiteral("ZYLV.INI"), bytes); }

    QTemporaryDir folder_;
};
