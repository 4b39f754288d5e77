// SPDX-License-Identifier: MIT
// A failed invariant in a fuzz target: says which, and aborts so that
// libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                     \
	do {                                                                                 \
		if (!(cond)) {                                                               \
			std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, \
				     #cond);                                                 \
			std::abort();                                                        \
		}                                                                            \
	} while (0)
