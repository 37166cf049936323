#pragma once

// Temporary folders put in the environment for one test, so that neither a running viewer nor
// an earlier test's files count.

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include "plat_temp_folder.h"

// A fresh folder named by an environment variable while the object lives.
class TempEnvFolder {
public:
    explicit TempEnvFolder(const char* name) : env_(name, QFile::encodeName(folder_.path()).constData()) {}
    bool isValid() const { return folder_.isValid(); }
    QString path() const { return folder_.path(); }
    QString filePath(const QString& name) const { return folder_.filePath(name); }

private:
    QTemporaryDir folder_;
    ScopedEnv env_;
};

// The runtime folder (the owner's alone, as the single-instance channel wants it) and the data
// home of a start-up.
class TempXdgFolders {
public:
    TempXdgFolders()
    {
        QFile::setPermissions(runtime_.path(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    bool isValid() const { return runtime_.isValid() && data_.isValid(); }
    QString DataHome() const { return data_.path(); }

private:
    TempEnvFolder runtime_{"XDG_RUNTIME_DIR"};
    TempEnvFolder data_{"XDG_DATA_HOME"};
};
