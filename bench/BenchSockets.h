#pragma once

#include <cstddef>
#include <string>

#include "FrameCodec.h"
#include "Processes.h"

// Plain blocking Unix-domain sockets, for clients and echo peers that do nothing else; they
// connect with connectRaw and write with sendAll (Processes.h).
int listenBlocking(const std::string& path);
bool readExactly(int fd, std::string& buffer, std::size_t length);

// Reads from fd until reader holds a whole frame, and takes it out.
bool readFrame(int fd, svcreg::FrameReader& reader, svcreg::Frame& frame);
