#include "tests/support/parsed_header.h"

#include <gtest/gtest.h>

namespace kevo_test {

std::unique_ptr<kevo_file> parseHeader(const Header& header)
{
    TempDir dir;
    const std::string path = dir.path("parsed.kevo");
    writeFile(path, encode(header));
    auto record = std::make_unique<kevo_file>();
    EXPECT_EQ(kevo_open(record.get(), path.c_str(), "r"), 1);
    EXPECT_EQ(kevo_readHeader(record.get()), 1);
    kevo_close(record.get());
    return record;
}

}  // namespace kevo_test
