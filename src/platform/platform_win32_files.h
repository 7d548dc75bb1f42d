// Win32 file helpers of platform_win32.cpp that the replace
// (platform_replace_win32.cpp) builds on.
#pragma once

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The attributes SetFileAttributesA takes; it refuses NORMAL with any other.
constexpr DWORD SETTABLE_ATTRIBUTES = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_TEMPORARY;

// Callers print strerror(errno), so Win32 failures need an errno.
int errno_from_win32(DWORD error);
// Sets or clears the read-only attribute of the file of `handle`.
BOOL set_read_only(HANDLE handle, bool read_only);
bool is_read_only(HANDLE handle);
// A C runtime stream over `handle`, which it then owns; null, with the
// handle closed, on failure.
FILE* stream_over(HANDLE handle, int flags, const char* mode);
// Volume serial number and file index of `path`; with `of_link`, a symbolic
// link is identified itself rather than its target.
bool identify_file(const char* path, BY_HANDLE_FILE_INFORMATION* info, bool of_link = false);
bool is_same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b);

#endif
