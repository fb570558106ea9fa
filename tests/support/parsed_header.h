// Test support: a record parsed the way the tool gets one, from bytes on
// disk through the codec, so every stream's kind is set.
#pragma once

#include <memory>

#include "container/kevo_container.h"
#include "tests/support/kevo_bytes.h"

namespace kevo_test {

// Parses the encoded header; a header that does not parse fails the test.
std::unique_ptr<kevo_file> parseHeader(const Header& header);

}  // namespace kevo_test
