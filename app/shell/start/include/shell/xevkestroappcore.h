#pragma once

// The parts of the application object that need no window: where the DICOMDIR and the terms
// acceptance are found, the start-up arguments, and removing a folder tree. The application
// class derives from this, so the names read as CKestroApp's.

#include <QString>
#include <QStringList>

class CKestroAppCore {
public:
    // The DICOMDIR two folders above the program folder, else in the program folder, else
    // empty. The program folder ends in '/'.
    static QString FindDicomDirPath(const QString& programFolder);
    static QString FindDicomDirPath();

    // "ZYLV.CHM" in the program folder, or empty when it is missing.
    static QString GetHelpFilePath(const QString& programFolder);

    // "<data home>/Korvanta MEDICAL/RV-K Viewer/", made (0700) when missing; empty when there
    // is no data home or a folder on the way cannot be made.
    static QString GetAgreementFolder();

    // The marker "Agree" in the folder is a file written strictly later than "ZYLV.lnk" in the
    // program folder; never without that shortcut.
    static bool IsAgreementCurrent(const QString& agreementFolder, const QString& programFolder);
    static bool IsAgreementCurrent();

    // "/Agree" as a whole argument (a path may hold the text).
    static bool HasAgreeArgument(const QStringList& arguments);
    // The terms question answers itself, never shown: "/Agree" among the arguments, or a
    // program file whose name holds "_Agree". arguments: the program first.
    static bool AgreesWithoutAsking(const QStringList& arguments);
    // The first argument after the program that is not "/Agree", made absolute against the
    // working folder; empty when there is none.
    static QString PathArgument(const QStringList& arguments);

    // Removes the folder with everything in it; true when the folder itself went. Links are
    // removed, never followed; a path that is not a real folder removes nothing.
    static bool DeleteFolderTree(const QString& folder);
};
