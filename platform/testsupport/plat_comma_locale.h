#pragma once

// The locale tests switch to: de_DE.UTF-8, whose decimal mark is a comma. Where the system has
// not installed it, it is built once per process into a private folder under the temporary
// folder, which goes when the process ends.

#include <clocale>
#include <cstdlib>
#include <string>

#include "plat_temp_folder.h"

// Sets the category to the comma locale; false when it can be neither found nor built (the
// Debian package locales is missing).
inline bool PlatUseCommaLocale(int category)
{
    if (std::setlocale(category, "de_DE.UTF-8") != nullptr) {
        return true;
    }
    static PlatTempFolder built;
    static const bool made = [] {
        const std::string command = "localedef -i de_DE -f UTF-8 -c '" + built / "de_DE.UTF-8" + "' >/dev/null 2>&1";
        (void)std::system(command.c_str());
        return setenv("LOCPATH", built.Path().c_str(), 1) == 0;
    }();
    return made && std::setlocale(category, "de_DE.UTF-8") != nullptr;
}
