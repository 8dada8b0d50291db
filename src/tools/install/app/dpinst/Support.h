// Helpers of dpinst64.exe: report lines, paths, text and device ids. The
// program keeps to these and the owning wrappers of Handles.h; it does not
// link the setup program's modules, whose diagnostic log would start with it.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

namespace dpinst {

// One line on standard output (UTF-8, CR LF), flushed at once: the setup
// program reads it into its diagnostic log while the run goes on.
void Report(const std::wstring& line);
// "0x0000007B": how report lines show an error code.
std::wstring Hex(DWORD value);
std::wstring Decimal(DWORD value);

// Compares ids and file names as Windows does: ordinal, without regard to case.
bool SameText(const std::wstring& a, const std::wstring& b);
bool LessText(const std::wstring& a, const std::wstring& b);

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);
// The full form of a path given on the command line.
std::wstring FullPath(const std::wstring& path);
std::wstring FileNamePart(const std::wstring& path);
std::wstring InfStoreFolder();  // <Windows folder>\inf
std::wstring SystemFolder();

// Libraries load from the system folder only, from the first line on. False
// when Windows refused.
bool RestrictDllSearchToSystemFolder();
// An export of a library of the system folder, loaded by its full path and
// kept until the process ends; null (with the error set) when either is missing.
FARPROC SystemLibraryExport(const wchar_t* library, const char* name);

// A string value of an open key; false when it is missing or not a string.
bool ReadStringValue(HKEY key, const wchar_t* name, std::wstring& out);

// The device's instance id; empty when it cannot be read.
std::wstring InstanceId(HDEVINFO set, SP_DEVINFO_DATA& device);

}  // namespace dpinst
