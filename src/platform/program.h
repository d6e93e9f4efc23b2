// Facts about the running program: where it is, which version it is, and its
// home folder ("the program's folder": settings file, log folder).
// SetHomeFolder is called once by main() before any other thread starts;
// after that everything here is read-only and thread-safe.
#pragma once

#include <string>

namespace orlo {

std::string ProgramPath();     // full path of the executable (/proc/self/exe)
std::string ProgramVersion();  // "major.minor.release.build" of the build

// The program's folder; defaults to the folder of the executable.
std::string HomeFolder();
void SetHomeFolder(const std::string& dir);

// The settings file in the home folder: <home>/orlocard.ini.
std::string SettingsFileName();

}  // namespace orlo
