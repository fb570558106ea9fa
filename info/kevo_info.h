// `kevo-info`: a read-only view of KEVO headers, for people and for scripts.
//
//   kevo-info [--json] FILE...          each file's header: the dump that
//                                       kevo-modify prints, or one JSON array
//   kevo-info --locate [STREAM/]ATOM FILE
//                                       "-streamID S -metaID M", the numbers
//                                       kevo-modify takes for that atom
//
// Files are opened for reading only; nothing is ever created, truncated or
// removed. The product goes to standard output, complaints to standard error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "container/kevo_container.h"

// Renders a parsed header as one JSON object, fields in a fixed order, every
// offset counted from the start of the file, fourccs as text that is always
// UTF-8 (bytes 0x20 to 0x7E as they are, any other byte as U+00XX). Cannot
// fail.
nlohmann::ordered_json kevo_headerJson(const kevo_file& record);

// Writes the --json document as the headers come: "[", each header's object
// as it is added, "]". The text is byte for byte dump(2) of an array of
// kevo_headerJson objects (with the replace error handler, which puts U+FFFD
// for bytes of a path that are not UTF-8), but no more than one block of it
// is held at a time, so memory grows with neither the atoms nor the headers.
// Write errors are left on the stream's error flag for the caller.
class kevo_jsonListing {
public:
    explicit kevo_jsonListing(FILE* out);
    kevo_jsonListing(const kevo_jsonListing&) = delete;
    kevo_jsonListing& operator=(const kevo_jsonListing&) = delete;

    // Writes the header's object; all of it has gone to the stream on return.
    void add(const kevo_file& record);

    // Closes the array, "[]" when nothing was added, and ends the line.
    void finish();

private:
    FILE* out_;
    std::string block_;
    bool empty_ = true;
};

// Runs the command and returns its exit status: 0 when every file was read
// (and the atom to locate was found once); 1 when a file could not be opened
// or holds no valid header, the atom is missing or ambiguous, or standard
// output could not be written; 2 on a usage error.
int kevo_infoMain(int argc, char** argv);
