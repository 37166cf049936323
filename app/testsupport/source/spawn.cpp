#include "testsupport/spawn.h"

#include <algorithm>

extern char** environ;

namespace {

std::string NameOf(const std::string& entry)
{
    return entry.substr(0, entry.find('='));
}

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}   // namespace

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& entries,
                                         const std::vector<std::string>& dropped)
{
    std::vector<std::string> environment;
    for (char** at = environ; *at != nullptr; ++at) {
        const std::string entry = *at;
        const std::string name = NameOf(entry);
        const bool replaced =
            std::find(dropped.begin(), dropped.end(), name) != dropped.end() ||
            std::any_of(entries.begin(), entries.end(), [&](const std::string& mine) { return NameOf(mine) == name; });
        if (!replaced) {
            environment.push_back(entry);
        }
    }
    environment.insert(environment.end(), entries.begin(), entries.end());
    return environment;
}

int SpawnProgram(pid_t* pid, std::vector<std::string> argv, std::vector<std::string> environment,
                 const posix_spawn_file_actions_t* actions)
{
    std::vector<char*> argp = Pointers(argv);
    std::vector<char*> envp = Pointers(environment);
    return posix_spawn(pid, argp[0], actions, nullptr, argp.data(), envp.data());
}
