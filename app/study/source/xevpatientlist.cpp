#include "study/xevpatientlist.h"

#include <QFileInfo>

uint64_t XEVPatientList::GetFileLength(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() ? uint64_t(info.size()) : 0;
}
