// POSIX-only parts of the platform layer that tests reach into.
#pragma once

#ifndef _WIN32

#include <cerrno>

// The errno of a name that matches several entries ignoring letter case and
// none exactly: the user has to say which one is meant.
#ifdef ENOTUNIQ
constexpr int AMBIGUOUS_NAME_ERROR = ENOTUNIQ;
#else
constexpr int AMBIGUOUS_NAME_ERROR = EEXIST;
#endif

// Test switch for platform_rename: pretend the system lacks a way of renaming
// without replacing, or that source and target lie on different file systems,
// so that every fall-back runs on any machine.
enum RenameTestMode {
    RENAME_NORMAL = 0,
    RENAME_WITHOUT_RENAMEAT2 = 1,          // kernel without renameat2
    RENAME_WITHOUT_RENAMEAT2_OR_LINK = 2,  // and a file system without hard links
    RENAME_CROSS_DEVICE = 3,               // every rename attempt gives EXDEV
};
extern RenameTestMode rename_test_mode;

#endif
