// What the host tests need of the process around the host: environment
// variables set and removed, and a fresh folder in the host's temp folder.
#pragma once

#include <string>

namespace kvtest {

// Sets (an empty value included) or removes a variable of the process's
// environment, where the host's GetEnvironmentVariableA reads it.
void SetVariable(const char* name, const char* value);
void RemoveVariable(const char* name);

// Makes a new folder in the host's GetTempPathA folder and returns its name
// without a trailing separator; "" when none could be made.
std::string MakeTempFolder(const char* prefix);
// The separator the host's temp folder ends with: '\\' on Windows, '/' elsewhere.
char TempSeparator();

}  // namespace kvtest
