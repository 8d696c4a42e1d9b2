// The program's own resources for hosts that have no resource section.
//
// On Windows, resources come from the program's .rc file. Elsewhere the build
// turns the same .rc file into a source that registers each RCDATA item and the
// version numbers here at start-up, so FindResourceA, GetFileVersionInfoA and
// friends of the POSIX host answer as the Windows program would.
#pragma once

#include <cstddef>

namespace kv::host {

// Registers raw data under Name (matched without regard to case) and the
// resource type's numeric id. The data must outlive the program.
void RegisterResource(const char* name, int type, const void* data, std::size_t size);
// Makes every raw-data item of that name and type unfindable again, so a test
// can run with and without a resource. Handles found before stay valid.
void UnregisterResource(const char* name, int type);
// Registers the program's file version a.b.c.d (the version record's FILEVERSION).
void RegisterVersion(unsigned a, unsigned b, unsigned c, unsigned d);
// Registers one string of the version record's string table (e.g. "ProductName").
void RegisterVersionString(const char* key, const char* value);

}  // namespace kv::host

namespace kv::host {
// Chooses the ANSI code page that the POSIX host converts UTF-16 text with
// (1252 unless a machine description names another). Windows uses its own.
void SetAnsiCodePage(unsigned codePage);
}  // namespace kv::host
