/* The models sections Windows takes from a driver INF, played for the
 * newdev.dll stand-in. Wine's driver search reads a [Manufacturer] line's
 * models section only when the line lists the bare platform ("NTamd64") or
 * nothing; the sections a current driver kit stamps carry the OS version too
 * ("NTamd64.10.0...16299"), and Wine then finds no driver. Windows picks,
 * per line, the decoration that fits the running system best.
 *
 * The stand-in hands Wine a copy of the INF whose [Manufacturer] lines name
 * the chosen sections outright, written beside the original so that the
 * driver files are found where the INF says. This choice is written apart
 * from the product's own, so that a test compares the two. */
#pragma once

#include <windows.h>

/* Writes the copy beside `infPath` and puts its path in `copyPath`; TRUE.
 * FALSE (nothing written) when the INF's lines carry no decorations, so
 * that Wine can read it as it is, or when the copy cannot be made. The
 * copy takes ASCII and UTF-8 INFs. */
BOOL WriteInfWithChosenModels(const WCHAR* infPath, WCHAR* copyPath, DWORD copyChars);

/* TRUE when a models section Windows takes from the INF for this system has
 * a model with the id (field 2 onwards, any case); `installSection` gets the
 * model's install section (field 1). */
BOOL InfHasModel(const WCHAR* infPath, const WCHAR* id, WCHAR* installSection, DWORD sectionChars);
