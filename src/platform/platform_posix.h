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

#endif
