#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <string_view>

#include <fmt/compile.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli/kevo_cli.h"
#include "container/kevo_container.h"

namespace {

// Text gathered before it is handed to the stream in one write.
constexpr size_t kBlockBytes = 64 * 1024;
constexpr size_t kIndentStep = 2;

// A string as nlohmann writes it, quotes included; bytes that are not UTF-8
// become U+FFFD rather than an exception.
std::string quotedString(std::string_view text)
{
    return nlohmann::json(std::string(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// What each byte of a fourcc becomes between the quotes: the code point the
// container gives it, escaped as nlohmann escapes it, worked out once.
const std::array<std::string, 256>& escapedBytes()
{
    static const std::array<std::string, 256> table = [] {
        std::array<std::string, 256> out;
        for (size_t byte = 0; byte < out.size(); ++byte) {
            const std::string codePoint =
                kevo_fourccUtf8(static_cast<uint32_t>(byte)).substr(0, byte < 0x80 ? 1 : 2);
            const std::string inQuotes = quotedString(codePoint);
            out[byte] = inQuotes.substr(1, inQuotes.size() - 2);
        }
        return out;
    }();
    return table;
}

}  // namespace

kevo_jsonWriter::kevo_jsonWriter(FILE* out) : out_(out)
{
    block_.reserve(kBlockBytes + kBlockBytes / 4);
}

void kevo_jsonWriter::beforeValue()
{
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (levels_.empty()) {
        return;
    }
    Level& level = levels_.back();
    block_ += level.empty ? "\n" : ",\n";
    level.empty = false;
    block_.append(kIndentStep * levels_.size(), ' ');
}

void kevo_jsonWriter::beginArray()
{
    beforeValue();
    block_ += '[';
    levels_.push_back({false, true});
}

void kevo_jsonWriter::beginObject()
{
    beforeValue();
    block_ += '{';
    levels_.push_back({true, true});
}

void kevo_jsonWriter::end()
{
    const Level level = levels_.back();
    levels_.pop_back();
    if (!level.empty) {
        block_ += '\n';
        block_.append(kIndentStep * levels_.size(), ' ');
    }
    block_ += level.object ? '}' : ']';
    if (levels_.empty()) {
        block_ += '\n';
        flush();
    } else if (block_.size() >= kBlockBytes) {
        flush();
    }
}

kevo_jsonWriter& kevo_jsonWriter::key(std::string_view name)
{
    Level& level = levels_.back();
    block_ += level.empty ? "\n" : ",\n";
    level.empty = false;
    block_.append(kIndentStep * levels_.size(), ' ');
    // Field names are the writer's own but for a selector a user gave.
    const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
        return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
    });
    if (plain) {
        block_ += '"';
        block_ += name;
        block_ += "\": ";
    } else {
        block_ += quotedString(name);
        block_ += ": ";
    }
    afterKey_ = true;
    return *this;
}

void kevo_jsonWriter::string(std::string_view text)
{
    beforeValue();
    block_ += quotedString(text);
}

void kevo_jsonWriter::number(int64_t value)
{
    beforeValue();
    fmt::format_to(std::back_inserter(block_), FMT_COMPILE("{}"), value);
}

void kevo_jsonWriter::unsignedNumber(uint64_t value)
{
    beforeValue();
    fmt::format_to(std::back_inserter(block_), FMT_COMPILE("{}"), value);
}

void kevo_jsonWriter::boolean(bool value)
{
    beforeValue();
    block_ += value ? "true" : "false";
}

void kevo_jsonWriter::null()
{
    beforeValue();
    block_ += "null";
}

void kevo_jsonWriter::codePoints(uint32_t bytes, int count)
{
    beforeValue();
    block_ += '"';
    for (int i = 0; i < count; ++i) {
        block_ += escapedBytes()[(bytes >> (8 * i)) & 0xFF];
    }
    block_ += '"';
}

void kevo_jsonWriter::fourcc(uint32_t fourcc)
{
    codePoints(fourcc, 4);
}

void kevo_jsonWriter::typeLetter(uint32_t type)
{
    codePoints(type, 1);
}

void kevo_jsonWriter::hex(const uint8_t* bytes, size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    beforeValue();
    block_ += '"';
    for (size_t i = 0; i < size; ++i) {
        block_ += kDigits[bytes[i] >> 4];
        block_ += kDigits[bytes[i] & 0x0F];
    }
    block_ += '"';
}

void kevo_jsonWriter::pathFields(const char* path)
{
    key("path").string(path);
    // "path" stays valid UTF-8 for every JSON reader; where that cost the
    // path some of its bytes, they are all here.
    if (!kevo_isUtf8(path)) {
        key("pathBytes").string(kevo_hexBytes(path));
    }
}

void kevo_jsonWriter::flush()
{
    std::fwrite(block_.data(), 1, block_.size(), out_);
    block_.clear();
}
