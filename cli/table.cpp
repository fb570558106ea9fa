#include <algorithm>
#include <cerrno>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <csv.h>

#include "cli/kevo_cli.h"

namespace {

// A cell that holds one of these, or a blank at either end, is quoted.
constexpr const char* kNeedsQuotes = ",\"\r\n";

// Each character a tab-separated cell escapes, and the letter that stands
// for it after a backslash.
constexpr char kEscapes[][2] = {{'\\', '\\'}, {'\t', 't'}, {'\n', 'n'}, {'\r', 'r'}};

void writeTabCell(FILE* out, const std::string& cell)
{
    for (char c : cell) {
        const auto* escape = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                          [c](const char* pair) { return pair[0] == c; });
        if (escape != std::end(kEscapes)) {
            std::fputc('\\', out);
            c = (*escape)[1];
        }
        std::fputc(c, out);
    }
}

void writeCommaCell(FILE* out, const std::string& cell)
{
    const bool quoted = cell.find_first_of(kNeedsQuotes) != std::string::npos ||
                        (!cell.empty() && (cell.front() == ' ' || cell.back() == ' '));
    if (quoted) {
        csv_fwrite(out, cell.data(), cell.size());
    } else {
        std::fwrite(cell.data(), 1, cell.size(), out);
    }
}

std::string unescaped(const std::string& cell, bool* good)
{
    std::string out;
    for (size_t i = 0; i < cell.size(); ++i) {
        if (cell[i] != '\\') {
            out += cell[i];
            continue;
        }
        const char letter = i + 1 < cell.size() ? cell[++i] : '\0';
        const auto* escape = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                          [letter](const char* pair) { return pair[1] == letter; });
        if (escape == std::end(kEscapes)) {
            *good = false;
            return out;
        }
        out += (*escape)[0];
    }
    return out;
}

// What the parser's callbacks fill: the rows so far, the one being read,
// and the line each starts on.
struct Reading {
    std::vector<kevo_tableRow>* rows;
    kevo_tableRow row;
    bool inRow = false;
    size_t line = 0;
    bool tabs = false;
    std::string error;
};

extern "C" void takeCell(void* bytes, size_t size, void* data)
{
    Reading& reading = *static_cast<Reading*>(data);
    if (!reading.inRow) {
        reading.inRow = true;
        reading.row = kevo_tableRow{reading.line, {}};
    }
    std::string cell = bytes ? std::string(static_cast<const char*>(bytes), size) : "";
    if (reading.tabs) {
        bool good = true;
        cell = unescaped(cell, &good);
        if (!good && reading.error.empty()) {
            reading.error = "line " + std::to_string(reading.line) + ": a backslash that is "
                                                                       "not \\\\, \\t, \\n or \\r";
        }
    }
    reading.row.cells.push_back(std::move(cell));
}

extern "C" void endRow(int, void* data)
{
    Reading& reading = *static_cast<Reading*>(data);
    if (reading.inRow) {
        reading.rows->push_back(std::move(reading.row));
    }
    reading.inRow = false;
}

int noBlanks(unsigned char)
{
    return 0;
}

}  // namespace

void kevo_writeTableRow(FILE* out, kevo_tableFormat format, const std::vector<std::string>& cells)
{
    for (size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) {
            std::fputc(format == kevo_tableFormat::Tabs ? '\t' : ',', out);
        }
        if (format == kevo_tableFormat::Tabs) {
            writeTabCell(out, cells[i]);
        } else {
            writeCommaCell(out, cells[i]);
        }
    }
    std::fputc('\n', out);
}

std::string kevo_readTable(FILE* in, std::vector<kevo_tableRow>* rows)
{
    rows->clear();
    csv_parser parser;
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_EMPTY_IS_NULL) != 0) {
        return std::strerror(ENOMEM);
    }
    // Blanks belong to the cell; a path may start with one.
    csv_set_space_func(&parser, noBlanks);
    Reading reading;
    reading.rows = rows;
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length = 0;
    // Fed a line at a time, so that each row knows the line it starts on.
    while (reading.error.empty() && (length = getline(&line, &capacity, in)) >= 0) {
        if (++reading.line == 1 && std::memchr(line, '\t', static_cast<size_t>(length))) {
            reading.tabs = true;
            csv_set_delim(&parser, CSV_TAB);
            // No quoting in a tab-separated table: a quote is a character.
            csv_set_quote(&parser, '\0');
        }
        const auto size = static_cast<size_t>(length);
        if (csv_parse(&parser, line, size, takeCell, endRow, &reading) != size) {
            reading.error = "line " + std::to_string(reading.line) + ": " +
                            csv_strerror(csv_error(&parser));
        }
    }
    const int readError = std::ferror(in) ? errno : 0;
    std::free(line);
    if (reading.error.empty() && csv_fini(&parser, takeCell, endRow, &reading) != 0) {
        reading.error = "line " + std::to_string(reading.line) + ": " +
                        csv_strerror(csv_error(&parser));
    }
    csv_free(&parser);
    if (reading.error.empty() && readError != 0) {
        reading.error = std::strerror(readError);
    }
    return reading.error;
}
