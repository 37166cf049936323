#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <vector>

// This process's environment less the variables named in `dropped` and those `entries` set,
// then `entries` ("NAME=value") after them.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& entries,
                                         const std::vector<std::string>& dropped = {});

// posix_spawn of the program first in `argv`: spawned, never forked, as the tests run threads.
// 0 or the error posix_spawn gave.
int SpawnProgram(pid_t* pid, std::vector<std::string> argv, std::vector<std::string> environment,
                 const posix_spawn_file_actions_t* actions);
