#pragma once

#include <cstddef>
#include <string>

#include "FrameCodec.h"

// Plain blocking Unix-domain sockets, for clients and echo peers that do nothing else.
int listenBlocking(const std::string& path);
int connectBlocking(const std::string& path);  // -1 when nobody listens there
bool writeAll(int fd, const std::string& bytes);
bool readExactly(int fd, std::string& buffer, std::size_t length);

// Reads from fd until reader holds a whole frame, and takes it out.
bool readFrame(int fd, svcreg::FrameReader& reader, svcreg::Frame& frame);
