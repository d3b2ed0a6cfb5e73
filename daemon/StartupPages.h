#pragma once

#include <cstddef>

// What starting the daemon touched once and serving does not need mapped: the read-only and
// executable pages of the program and its libraries, which the loader's relocations, symbol
// look-ups and the libraries' initialisers walk through. The kernel maps such pages in whole
// blocks (up to a whole large folio of the page cache at each fault), so an idle daemon would
// keep most of every library it loaded resident.
//
// Unmaps them from this process. They are never written, so their contents are the files'
// and nothing is lost: the pages stay in the page cache, and those the threads go on to use
// fault back in as they would after the kernel reclaimed them. Writable segments (the relocated
// tables, the data) are left as they are. Returns the bytes released from the mappings, whether
// resident or not. Safe while other threads run: the loader's lock is held throughout.
std::size_t releaseStartupPages();
