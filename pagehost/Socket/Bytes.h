// Bytes: the byte buffers the socket layer hands around.
// Reads deliver a Bytes that the receiver owns outright (moved, never
// copied); writes take SharedBytes so the socket can hold the caller's bytes
// until they have been sent without copying them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

using Bytes = std::vector<uint8_t>;
using SharedBytes = std::shared_ptr<const Bytes>;
