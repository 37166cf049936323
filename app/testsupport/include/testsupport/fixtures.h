#pragma once

// Paths of the fixtures more than one test binary reads; the folders come from
// app/testsupport's CMake.

#include <QString>

// A file of the study tests' frame fixtures.
inline QString FrameFixture(const char* name)
{
    return QString::fromUtf8(STUDY_TEST_DATA_DIR "/frames/") + QString::fromUtf8(name);
}

// A file of the cell tests' fixtures.
inline QString CellFixture(const char* name)
{
    return QStringLiteral(VIEWCTRL_TEST_DATA_DIR "/") + QString::fromUtf8(name);
}
