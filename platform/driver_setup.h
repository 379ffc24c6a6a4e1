// Running a section of an INF file, as SETUPAPI's InstallHinfSectionW does with a
// command line such as "DefaultInstall 128 C:\path\driver.inf". It reports nothing:
// the caller cannot tell whether the section ran.
//
// On POSIX there is no driver to install: the call does nothing.
#pragma once

namespace acdc::platform {

void InstallHinfSection(const char16_t* command_line);

}  // namespace acdc::platform
